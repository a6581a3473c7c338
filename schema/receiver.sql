-- The Receiver's own tables, beside the product's. The Receiver creates them
-- at start-up when they are missing; where its database role may not create
-- tables (PostgreSQL 15 and later lets only the owner of the schema public
-- create in it), the database's owner runs this file once:
--   psql -d DATABASE -f receiver.sql
-- Every statement may run again harmlessly.

-- Notifications applied, by service: the sender's notification_id, or a
-- token the Receiver made for a notification without one (service_id -1: a
-- batch of unchanged states written together). Each row is written by the
-- transaction that writes the state it is about, so a copy sent again finds
-- it and changes nothing, and a Receiver that lost the answer to a COMMIT
-- learns from it whether the transaction took effect. Rows older than the
-- resend window and one cleaning cycle are removed.
CREATE TABLE IF NOT EXISTS quelm_receiver_applied (
    service_id      integer NOT NULL,
    notification_id text NOT NULL,
    applied_at      timestamptz NOT NULL DEFAULT now(),
    PRIMARY KEY (service_id, notification_id)
);
CREATE INDEX IF NOT EXISTS quelm_receiver_applied_at ON quelm_receiver_applied (applied_at);

-- Alerts decided by a committed state change whose alerting program has not
-- ended yet: written in the change's own transaction, removed once the
-- program has run. A Receiver that finds one (after a restart, or because
-- another Receiver died) runs it before the service's next plugin run.
CREATE TABLE IF NOT EXISTS quelm_receiver_alerts (
    alert_id      bigserial PRIMARY KEY,
    service_id    integer NOT NULL,
    occurrence_id bigint NOT NULL,
    created_at    timestamptz NOT NULL DEFAULT now()
);
CREATE INDEX IF NOT EXISTS quelm_receiver_alerts_service ON quelm_receiver_alerts (service_id);
