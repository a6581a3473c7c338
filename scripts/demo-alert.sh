#!/bin/sh
# The demo's alerting program: records each alert it is started for.
# The Receiver passes the service's response parameters with $ERROR
# replaced by the id of the error occurrence.
log=${QUELM_DEMO_ALERTS:-/tmp/quelm-demo-alerts.txt}
echo "$(date '+%H:%M:%S') alert $*" >>"$log"
