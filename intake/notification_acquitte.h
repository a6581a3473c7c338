#pragma once

// The acknowledgement record lives with the other notification records.
#include "intake/notification.h"
