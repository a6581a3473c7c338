-- Loaded into the throwaway cluster by scripts/bench.sh after the product
-- schema. Two triggers on quelm_services let the benchmarks see each state
-- update as it commits without polling the table:
--   bench_notify: NOTIFY quelm_bench with the new last output, whose
--                 "n=<sequence>" names the notification (throughput bench);
--   bench_count:  one more update counted for the service (soak bench).
-- Each benchmark enables only the trigger it reads.

CREATE TABLE bench_update_counts (
    service_id integer PRIMARY KEY,
    updates    bigint NOT NULL DEFAULT 0
);

CREATE FUNCTION bench_notify_update() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
    PERFORM pg_notify('quelm_bench', NEW.service_last_stdout);
    RETURN NULL;
END
$$;

CREATE FUNCTION bench_count_update() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
    UPDATE bench_update_counts SET updates = updates + 1 WHERE service_id = NEW.service_id;
    RETURN NULL;
END
$$;

CREATE TRIGGER bench_notify AFTER UPDATE ON quelm_services
    FOR EACH ROW EXECUTE FUNCTION bench_notify_update();
CREATE TRIGGER bench_count AFTER UPDATE ON quelm_services
    FOR EACH ROW EXECUTE FUNCTION bench_count_update();
