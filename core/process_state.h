#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

// Process-wide state shared by the threads of the daemon. Start-up writes
// these before it starts the first thread that reads them; objects owned by
// higher layers (the pool, the queue, the registry) are declared next to
// their classes.

extern std::string pathToConfigFile;
// 1 once SIGTERM has been received: the workers leave their loop.
extern std::atomic<int> die_quelm;
extern std::string connectLine;
// Error name -> error id (decimal text); read-only once the workers run.
extern std::map<std::string, std::string> map_error;
extern int port;
extern std::string keyfile;
extern std::string cafile;
extern int nbr_max_thread;

// Optional listener settings (section SYSLOG); 0 keeps the default behaviour.
// 1: senders must present a certificate that verifies against cafile.
extern int verifyClient;
// Largest accepted message in bytes; 0: the WebSocket library's default.
extern long maxMessageSize;
// Most notifications waiting for a worker; 0: unbounded.
extern long queueLimit;

// Ids of the running worker threads. A worker that ends removes its id under
// mutex_vec_thread and signals cond_vec_thread; the main thread waits for the
// list to empty.
extern std::vector<unsigned long> threadList;
extern std::mutex mutex_vec_thread;
extern std::condition_variable cond_vec_thread;

extern pthread_t th_receiver;
extern pthread_t th_cleanolderror;
