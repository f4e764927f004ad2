/* pkt_delay: holds every packet that netfilter queues to it for a fixed time, then lets it
 * through, in arrival order. It stands in for a delaying queueing discipline on kernels that
 * have none, for the benchmarks only, inside a network namespace they create:
 *
 *   iptables-legacy -A OUTPUT -o lo -p tcp -j NFQUEUE --queue-num 0
 *   pkt_delay 20 [0] &        (prints "ready" once it holds the queue)
 *
 * A packet on lo crosses OUTPUT once, so a TCP handshake on lo then takes twice the delay.
 * Build: cc -O2 -o pkt_delay pkt_delay.c -lnetfilter_queue (Debian: libnetfilter-queue-dev).
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <libnetfilter_queue/libnetfilter_queue.h>
#include <linux/netfilter.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>

/* Timer wake-ups on a loaded virtual machine come late by a fraction of a millisecond: sleep
 * until this long before a release, then watch the clock. */
#define SPIN_NS 500000LL
#define HELD_MAX 16384u

struct held {
  uint32_t id;
  int64_t due_ns;
};

static struct held held[HELD_MAX];
static unsigned first, count; /* ring of held packets, oldest first */
static int64_t delay_ns;
static volatile sig_atomic_t stopping;

static int64_t now_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

static int on_packet(struct nfq_q_handle* queue, struct nfgenmsg* msg, struct nfq_data* data,
                     void* unused) {
  (void)msg;
  (void)unused;
  struct nfqnl_msg_packet_hdr* header = nfq_get_msg_packet_hdr(data);
  if (header == NULL)
    return 0;
  uint32_t id = ntohl(header->packet_id);
  if (count == HELD_MAX) /* never drop: a full ring lets the packet through at once */
    return nfq_set_verdict(queue, id, NF_ACCEPT, 0, NULL);
  struct held* slot = &held[(first + count) % HELD_MAX];
  slot->id = id;
  slot->due_ns = now_ns() + delay_ns;
  count++;
  return 0;
}

static void release_due(struct nfq_q_handle* queue, int64_t now) {
  while (count > 0 && (stopping || held[first].due_ns <= now)) {
    nfq_set_verdict(queue, held[first].id, NF_ACCEPT, 0, NULL);
    first = (first + 1) % HELD_MAX;
    count--;
  }
}

static void on_stop(int sig) {
  (void)sig;
  stopping = 1;
}

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    fprintf(stderr, "usage: %s DELAY_MS [QUEUE]\n", argv[0]);
    return 2;
  }
  delay_ns = (int64_t)(strtod(argv[1], NULL) * 1e6);
  unsigned queue_num = argc > 2 ? (unsigned)strtoul(argv[2], NULL, 10) : 0;
  if (delay_ns < 0) {
    fprintf(stderr, "pkt_delay: the delay must not be negative\n");
    return 2;
  }
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  struct sigaction stop;
  memset(&stop, 0, sizeof stop);
  stop.sa_handler = on_stop;
  sigaction(SIGTERM, &stop, NULL);
  sigaction(SIGINT, &stop, NULL);

  struct nfq_handle* handle = nfq_open();
  if (handle == NULL) {
    perror("pkt_delay: nfq_open");
    return 1;
  }
  if (nfq_bind_pf(handle, AF_INET) < 0) {
    perror("pkt_delay: nfq_bind_pf");
    return 1;
  }
  struct nfq_q_handle* queue = nfq_create_queue(handle, queue_num, on_packet, NULL);
  if (queue == NULL) {
    perror("pkt_delay: nfq_create_queue");
    return 1;
  }
  /* The verdict needs only the packet id: no payload is copied. */
  if (nfq_set_mode(queue, NFQNL_COPY_META, 0) < 0) {
    perror("pkt_delay: nfq_set_mode");
    return 1;
  }
  nfq_set_queue_maxlen(queue, HELD_MAX);
  int fd = nfq_fd(handle);
  int on = 1;
  setsockopt(fd, SOL_NETLINK, NETLINK_NO_ENOBUFS, &on, sizeof on);
  printf("ready delay_ms=%s queue=%u\n", argv[1], queue_num);
  fflush(stdout);

  char buf[4096] __attribute__((aligned));
  while (!stopping) {
    int64_t now = now_ns();
    release_due(queue, now);
    struct timespec timeout;
    struct timespec* wait_for = NULL; /* nothing held: wait for a packet */
    if (count > 0) {
      int64_t wait = held[first].due_ns - now - SPIN_NS;
      if (wait < 0)
        wait = 0;
      timeout.tv_sec = (time_t)(wait / 1000000000LL);
      timeout.tv_nsec = (long)(wait % 1000000000LL);
      wait_for = &timeout;
    }
    struct pollfd pfd = {.fd = fd, .events = POLLIN};
    int ready = ppoll(&pfd, 1, wait_for, NULL);
    if (ready < 0 && errno != EINTR) {
      perror("pkt_delay: ppoll");
      break;
    }
    if (ready > 0) {
      ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0)
        nfq_handle_packet(handle, buf, (int)n);
    }
  }
  stopping = 1;
  release_due(queue, now_ns());
  nfq_destroy_queue(queue);
  nfq_close(handle);
  return 0;
}
