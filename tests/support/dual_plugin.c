/* A test plugin that runs once per notification or, with
 * QUELM_PLUGIN_PROTOCOL=1, as a persistent process answering request lines,
 * with the same judgement in both modes: CRIT, WARN or UNKN in the input give
 * that state, anything else OK, and the output is "STATE: <input>\n". HANG
 * makes it sleep (a persistent process only the first time, noted in
 * "<its path>.hung"). A persistent process notes its pid in "<its path>.pids";
 * it answers GARBAGE with a line that is no reply, SEQ with the wrong seq,
 * EXIT by ending, and a program whose name ends in "flaky" ends at every 50th
 * request instead of answering it. GATE:NAME makes it wait (60 s at most) for
 * the file "<its path>.NAME", and SLEEPN sleep N seconds. A persistent process
 * of a program whose name ends in "stubborn" ignores SIGTERM and outlives the
 * end of its input by 30 s. */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

/* Set for a persistent process: it hangs at HANG only the first time, so
 * that the request tried again is answered. */
static const char* hungMark;
/* The program's own path, for its gates. */
static const char* selfPath;

static int judge(const char* text, const char** name)
{
  const char* gate = strstr(text, "GATE:");
  if (gate) {
    char gateName[64] = "", path[4200];
    sscanf(gate + 5, "%63[A-Za-z0-9]", gateName);
    snprintf(path, sizeof path, "%s.%s", selfPath, gateName);
    for (int tick = 0; tick < 1200 && access(path, F_OK) != 0; ++tick)
      usleep(50000);
  }
  const char* nap = strstr(text, "SLEEP");
  if (nap)
    sleep((unsigned)atoi(nap + 5));
  if (strstr(text, "HANG") && (!hungMark || access(hungMark, F_OK) != 0)) {
    if (hungMark)
      fclose(fopen(hungMark, "w"));
    sleep(30);
  }
  if (strstr(text, "CRIT"))
    return *name = "CRITICAL", 2;
  if (strstr(text, "WARN"))
    return *name = "WARNING", 1;
  if (strstr(text, "UNKN"))
    return *name = "UNKNOWN", 3;
  return *name = "OK", 0;
}

static int perRun(void)
{
  static char text[65536];
  size_t used = fread(text, 1, sizeof text - 1, stdin);
  text[used] = 0;
  if (used > 0 && text[used - 1] == '\n')
    text[used - 1] = 0;
  const char* name;
  int status = judge(text, &name);
  printf("%s: %s\n", name, text);
  return status;
}

/* The bytes of the request's input string, still escaped as JSON: the output
 * string carries them as they are, so it decodes to the input itself. */
static char* inputOf(char* line)
{
  char* start = strstr(line, "\"input\":\"");
  if (!start)
    return NULL;
  start += 9;
  char* end = start;
  while (*end && *end != '"')
    end += *end == '\\' && end[1] ? 2 : 1;
  *end = 0;
  return start;
}

int main(int argc, char** argv)
{
  (void)argc;
  selfPath = argv[0];
  const char* protocol = getenv("QUELM_PLUGIN_PROTOCOL");
  if (!protocol || strcmp(protocol, "1") != 0)
    return perRun();
  char pids[4096];
  snprintf(pids, sizeof pids, "%s.pids", argv[0]);
  FILE* noted = fopen(pids, "a");
  if (noted)
    fprintf(noted, "%d\n", (int)getpid()), fclose(noted);
  static char hung[4096];
  snprintf(hung, sizeof hung, "%s.hung", argv[0]);
  hungMark = hung;
  size_t length = strlen(argv[0]);
  int flaky = length >= 5 && strcmp(argv[0] + length - 5, "flaky") == 0;
  int stubborn = length >= 8 && strcmp(argv[0] + length - 8, "stubborn") == 0;
  if (stubborn)
    signal(SIGTERM, SIG_IGN);
  static char line[1 << 20];
  for (int served = 1; fgets(line, sizeof line, stdin); ++served) {
    const char* seqAt = strstr(line, "\"seq\":");
    long seq = seqAt ? strtol(seqAt + 6, NULL, 10) : 0;
    char* input = inputOf(line);
    if (!input || strstr(input, "EXIT") || (flaky && served % 50 == 0))
      return 1;
    if (strstr(input, "GARBAGE")) {
      printf("garbage\n");
    } else {
      const char* name;
      int status = judge(input, &name);
      printf("{\"seq\":%ld,\"status\":%d,\"output\":\"%s: %s\\n\"}\n", seq + (strstr(input, "SEQ") ? 1 : 0), status,
          name, input);
    }
    fflush(stdout);
  }
  if (stubborn)
    sleep(30);
  return 0;
}
