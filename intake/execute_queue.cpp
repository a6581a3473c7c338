#include "intake/execute_queue.h"

ExecuteQueue<notification>* executeService = nullptr;
