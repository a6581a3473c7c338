/* The benchmarks' plugin: reads its standard input to the end and answers
 * "OK " followed by the first line read, exit status 0. The echoed line
 * carries the notification's sequence number into service_last_stdout,
 * where the benchmark's trigger finds it. Plain system calls only, so that
 * its own run costs as little as a plugin can. */
#include <unistd.h>

int main(void)
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
  size_t done = 0;
  while (done < end) {
    ssize_t wrote = write(1, buffer + done, end - done);
    if (wrote <= 0)
      return 0;
    done += (size_t)wrote;
  }
  return 0;
}
