/* The benchmarks' plugin: reads its standard input to the end and answers
 * "OK " followed by the first line read, exit status 0. The echoed line
 * carries the notification's sequence number into service_last_stdout,
 * where the benchmark's trigger finds it. Plain system calls only, so that
 * its own run costs as little as a plugin can.
 *
 * Started by the daemon as a persistent plugin (QUELM_PLUGIN_PROTOCOL=1 in
 * its environment), it answers request lines instead, one reply line each,
 * until its standard input ends: {"seq":N,"status":0,"output":"OK <input>"}.
 * The request's input is already escaped for JSON, so its bytes go into the
 * output string as they are, without decoding and encoding them again. */
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int writeAll(const char* data, size_t size)
{
  while (size > 0) {
    ssize_t wrote = write(1, data, size);
    if (wrote < 0)
      return -1;
    data += wrote;
    size -= (size_t)wrote;
  }
  return 0;
}

static int runOnce(void)
{
  char buffer[4096];
  size_t used = 3;
  buffer[0] = 'O';
  buffer[1] = 'K';
  buffer[2] = ' ';
  /* Bounded by the buffer: a longer input is read and dropped. */
  for (;;) {
    char chunk[1024];
    ssize_t got = read(0, chunk, sizeof(chunk));
    if (got <= 0)
      break;
    for (ssize_t i = 0; i < got && used < sizeof(buffer) - 1; ++i)
      buffer[used++] = chunk[i];
  }
  size_t end = 3;
  while (end < used && buffer[end] != '\n')
    ++end;
  buffer[end++] = '\n';
  writeAll(buffer, end);
  return 0;
}

/* The end of the JSON string whose opening quote is at at: the index of its
 * closing quote, or end when the line holds none. */
static size_t stringEnd(const char* line, size_t at, size_t end)
{
  for (size_t i = at + 1; i < end; ++i) {
    if (line[i] == '\\')
      ++i;
    else if (line[i] == '"')
      return i;
  }
  return end;
}

/* Past the value (string, number, array, object...) that starts at at. */
static size_t valueEnd(const char* line, size_t at, size_t end)
{
  int depth = 0;
  for (size_t i = at; i < end; ++i) {
    char c = line[i];
    if (c == '"') {
      i = stringEnd(line, i, end);
      if (depth == 0)
        return i + 1;
    } else if (c == '[' || c == '{') {
      ++depth;
    } else if (c == ']' || c == '}') {
      if (depth == 0)
        return i;
      if (--depth == 0)
        return i + 1;
    } else if (c == ',' && depth == 0) {
      return i;
    }
  }
  return end;
}

static size_t skipSpace(const char* line, size_t at, size_t end)
{
  while (at < end && (line[at] == ' ' || line[at] == '\t' || line[at] == '\r'))
    ++at;
  return at;
}

/* Finds the top-level "seq" number and the bounds of the "input" string's
 * escaped bytes (between its quotes) in one request line. Returns 0 when
 * both are there. */
static int parseRequest(
    const char* line, size_t end, const char** seq, size_t* seqSize, const char** input, size_t* inputSize)
{
  *seq = NULL;
  *input = NULL;
  size_t i = skipSpace(line, 0, end);
  if (i >= end || line[i] != '{')
    return -1;
  ++i;
  for (;;) {
    i = skipSpace(line, i, end);
    if (i >= end || line[i] != '"')
      break;
    size_t keyEnd = stringEnd(line, i, end);
    const char* key = line + i + 1;
    size_t keySize = keyEnd - i - 1;
    i = skipSpace(line, keyEnd + 1, end);
    if (i >= end || line[i] != ':')
      return -1;
    i = skipSpace(line, i + 1, end);
    size_t valueStop = valueEnd(line, i, end);
    if (keySize == 3 && memcmp(key, "seq", 3) == 0) {
      size_t digits = i;
      while (digits < valueStop && line[digits] >= '0' && line[digits] <= '9')
        ++digits;
      if (digits > i) {
        *seq = line + i;
        *seqSize = digits - i;
      }
    } else if (keySize == 5 && memcmp(key, "input", 5) == 0 && line[i] == '"' && valueStop <= end
        && line[valueStop - 1] == '"') {
      *input = line + i + 1;
      *inputSize = valueStop - i - 2;
    }
    i = skipSpace(line, valueStop, end);
    if (i >= end || line[i] != ',')
      break;
    ++i;
  }
  return *seq != NULL && *input != NULL ? 0 : -1;
}

/* Appends size bytes to the reply; the reply buffer is sized beforehand. */
static char* put(char* at, const char* text, size_t size)
{
  memcpy(at, text, size);
  return at + size;
}

static int answer(const char* line, size_t size, char** reply, size_t* capacity)
{
  const char* seq;
  const char* input;
  size_t seqSize = 0, inputSize = 0;
  static const char head[] = "{\"seq\":";
  const char* middle = ",\"status\":0,\"output\":\"OK ";
  if (parseRequest(line, size, &seq, &seqSize, &input, &inputSize) != 0) {
    /* Without a number the reply cannot name its request; seq 0 tells the
     * daemon the answer belongs to none. */
    if (seq == NULL) {
      seq = "0";
      seqSize = 1;
    }
    middle = ",\"status\":3,\"output\":\"UNKNOWN: unreadable request";
    input = "";
    inputSize = 0;
  }
  size_t middleSize = strlen(middle);
  static const char tail[] = "\"}\n";
  size_t needed = sizeof(head) + seqSize + middleSize + inputSize + sizeof(tail);
  if (needed > *capacity) {
    char* grown = realloc(*reply, needed);
    if (grown == NULL)
      return -1;
    *reply = grown;
    *capacity = needed;
  }
  char* at = *reply;
  at = put(at, head, sizeof(head) - 1);
  at = put(at, seq, seqSize);
  at = put(at, middle, middleSize);
  at = put(at, input, inputSize);
  at = put(at, tail, sizeof(tail) - 1);
  return writeAll(*reply, (size_t)(at - *reply));
}

/* Request lines may arrive split over several reads or several in one:
 * every complete line in the buffer is answered, a partial one is kept at
 * its front for the next read, which the buffer grows for when full.
 * Returns the exit status: 0 at the end of the input. */
static int serve(char** buffer, size_t* capacity, char** reply, size_t* replyCapacity)
{
  size_t used = 0;
  for (;;) {
    if (used == *capacity) {
      char* grown = realloc(*buffer, *capacity * 2);
      if (grown == NULL)
        return 1;
      *buffer = grown;
      *capacity *= 2;
    }
    ssize_t got = read(0, *buffer + used, *capacity - used);
    if (got == 0)
      return 0;
    if (got < 0) {
      if (errno == EINTR)
        continue;
      return 1;
    }
    char* lines = *buffer;
    size_t scanFrom = used;
    used += (size_t)got;
    size_t start = 0;
    for (;;) {
      char* newline = memchr(lines + scanFrom, '\n', used - scanFrom);
      if (newline == NULL)
        break;
      size_t end = (size_t)(newline - lines);
      if (answer(lines + start, end - start, reply, replyCapacity) != 0)
        return 1;
      start = end + 1;
      scanFrom = start;
    }
    if (start > 0) {
      memmove(lines, lines + start, used - start);
      used -= start;
    }
  }
}

static int runPersistent(void)
{
  size_t capacity = 65536, replyCapacity = 65536;
  char* buffer = malloc(capacity);
  char* reply = malloc(replyCapacity);
  int status = buffer != NULL && reply != NULL ? serve(&buffer, &capacity, &reply, &replyCapacity) : 1;
  free(buffer);
  free(reply);
  return status;
}

int main(void)
{
  const char* protocol = getenv("QUELM_PLUGIN_PROTOCOL");
  if (protocol != NULL && strcmp(protocol, "1") == 0)
    return runPersistent();
  return runOnce();
}
