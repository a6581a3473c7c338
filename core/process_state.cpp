#include "core/process_state.h"

std::string pathToConfigFile = "/etc/quelm/receiver.conf";
std::atomic<int> die_quelm { 0 };
std::string connectLine;
std::map<std::string, std::string> map_error;
int port = 0;
std::string keyfile;
std::string cafile;
int nbr_max_thread = 0;
int verifyClient = 0;
long maxMessageSize = 0;
long queueLimit = 0;

std::vector<unsigned long> threadList;
std::mutex mutex_vec_thread;
std::condition_variable cond_vec_thread;

pthread_t th_receiver {};
pthread_t th_cleanolderror {};
