-- What quelm-chaos adds to the product database of its Site. The traffic's
-- errors never go stale: only notifications change those hosts' states.
-- Service N's plugin by N % 3: the per-run one (1), a persistent one (2), a
-- persistent one that ends every 50th request (3).
UPDATE quelm_services SET service_plugin_id = 1 + service_id % 3 WHERE service_id < 1000;
INSERT INTO quelm_device_advance_config (adv_device_id, adv_param)
  SELECT device_id, '{"during_alert":"100000"}' FROM quelm_device WHERE device_id < 1000;

-- Each state write: the marker seq=N of its notification, the state it left
-- and the one it wrote, and its transaction.
CREATE TABLE writes (n bigserial, service int, old_state int, new_state int, seq int, tx bigint);
CREATE FUNCTION record_write() RETURNS trigger AS $$ BEGIN
  INSERT INTO writes (service, old_state, new_state, seq, tx) VALUES (NEW.service_id,
    OLD.service_previous_state, NEW.service_previous_state,
    substring(NEW.service_last_stdout from 'seq=([0-9]+)')::int, txid_current());
  RETURN NEW;
END $$ LANGUAGE plpgsql;
CREATE TRIGGER record_write AFTER UPDATE ON quelm_services FOR EACH ROW EXECUTE FUNCTION record_write();

-- Each occurrence opened or closed, and by which transaction.
CREATE TABLE occurrences (happen_id int, service int, opened bool, tx bigint);
CREATE FUNCTION record_occurrence() RETURNS trigger AS $$ BEGIN
  IF TG_OP = 'INSERT' OR (OLD.happen_acquitte = 0 AND NEW.happen_acquitte = 1) THEN
    INSERT INTO occurrences VALUES (NEW.happen_id, NEW.happen_service_id, TG_OP = 'INSERT', txid_current());
  END IF;
  RETURN NEW;
END $$ LANGUAGE plpgsql;
CREATE TRIGGER record_occurrence AFTER INSERT OR UPDATE ON quelm_error_happen FOR EACH ROW
  EXECUTE FUNCTION record_occurrence();
