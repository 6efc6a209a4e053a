// A light raw stream client for many receivers that fetch as the player
// does: each receiver describes NAME once, then, while fewer than QUEUE
// media packages wait in its queue, sends one fetch request every PACE_MS
// without waiting for the answers. Its queue plays out at RATE packages per
// second (the medium's own rate) from START_MS after the first request; a
// receiver whose queue runs dry after that has not kept real time. With
// RATE 0 nothing plays out and every receiver fetches at the full pace.
// One thread and one epoll set serve all receivers, so the client stays
// cheap next to the server it measures.
//
// At the end it prints one line per measure (key value), for the script:
// requests, answers, media, ends, receivers that ran dry, answer latency
// percentiles, and the client's own CPU.
//
// usage: paced-fetch NAME RECEIVERS SECONDS RATE [PORT]
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

enum { PKG_DESCRIBE = 1004, PKG_DESCRIBE_RSP = 1005, PKG_FETCH = 1100, PKG_MEDIA = 1101 };
enum { RING = 8192, HEAD = 11, TICK_US = 1000, LAT_BUCKETS = 100 };
enum { PACE_MS = 5, QUEUE = 100, START_MS = 500 };  // the player's

typedef struct {
    int fd;
    uint8_t head[HEAD];
    int headLen;
    uint32_t need;        // bytes of the current package still to skip
    int type;             // of the current package
    int described;
    long sent, answered, media, ends;
    long dryTicks;        // checks at which a package due to play had not come
    double sentAt[RING];  // request times, matched in order with answers
} Receiver;

static double Now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

static size_t Frame(uint8_t* out, int type, const uint8_t* body, size_t len) {
    const uint32_t n = (uint32_t)(4 + 4 + 1 + 2 + len + 2);
    const uint8_t head[] = {0x23, 0x00, 0x55, 0xFF, n >> 24, n >> 16, n >> 8, n, 1, type >> 8, type & 0xFF};
    memcpy(out, head, sizeof head);
    memcpy(out + sizeof head, body, len);
    out[sizeof head + len] = 0xFF;
    out[sizeof head + len + 1] = 0x00;
    return n;
}

// Latency histogram: bucket b holds answers within [2^(b/4), 2^((b+1)/4)) us.
static long g_lat[LAT_BUCKETS];
static double g_latMax;

static void Record(double seconds) {
    double us = seconds * 1e6;
    int b = us < 1 ? 0 : (int)(4 * __builtin_log2(us));
    g_lat[b < LAT_BUCKETS ? b : LAT_BUCKETS - 1]++;
    if (seconds > g_latMax)
        g_latMax = seconds;
}

static double Percentile(double p) {
    long total = 0, seen = 0;
    for (int b = 0; b < LAT_BUCKETS; ++b)
        total += g_lat[b];
    for (int b = 0; b < LAT_BUCKETS; ++b) {
        seen += g_lat[b];
        if (total && seen >= p * total) {
            const double edge = __builtin_exp2((b + 1) / 4.0) / 1000.0;  // upper edge, ms
            return edge < g_latMax * 1000 ? edge : g_latMax * 1000;
        }
    }
    return 0;
}

static void Answered(Receiver* r, double now) {
    if (!r->described) {
        if (r->type != PKG_DESCRIBE_RSP) {
            fprintf(stderr, "describe answered with type %d\n", r->type);
            exit(1);
        }
        r->described = 1;
        return;
    }
    if (r->answered < r->sent)
        Record(now - r->sentAt[r->answered % RING]);
    r->answered++;
    if (r->type == PKG_MEDIA)
        r->media++;
    else
        r->ends++;
}

// Cuts what arrived into packages; only their headers are looked at.
static int Read(Receiver* r) {
    static uint8_t buf[1 << 18];
    for (;;) {
        ssize_t got = recv(r->fd, buf, sizeof buf, MSG_DONTWAIT);
        const double now = Now();
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return 0;
        if (got <= 0)
            return -1;
        for (size_t at = 0; at < (size_t)got;) {
            if (r->need) {
                size_t skip = (size_t)got - at < r->need ? (size_t)got - at : r->need;
                at += skip;
                r->need -= (uint32_t)skip;
                if (!r->need)
                    Answered(r, now);
                continue;
            }
            r->head[r->headLen++] = buf[at++];
            if (r->headLen < HEAD)
                continue;
            uint32_t n = (uint32_t)r->head[4] << 24 | r->head[5] << 16 | r->head[6] << 8 | r->head[7];
            if (r->head[0] != 0x23 || n < 13) {
                fprintf(stderr, "bad package header\n");
                exit(1);
            }
            r->type = r->head[9] << 8 | r->head[10];
            r->need = n - HEAD;
            r->headLen = 0;
        }
    }
}

static int Connect(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = {.sin_family = AF_INET, .sin_port = htons((uint16_t)port)};
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, (struct sockaddr*)&a, sizeof a) != 0) {
        perror("connect");
        exit(1);
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

int main(int argc, char** argv) {
    if (argc < 5) {
        fprintf(stderr, "usage: %s NAME RECEIVERS SECONDS RATE [PORT]\n", argv[0]);
        return 2;
    }
    const char* name = argv[1];
    const int n = atoi(argv[2]);
    const double seconds = atof(argv[3]);
    const double rate = atof(argv[4]);
    const int port = argc > 5 ? atoi(argv[5]) : 8888;
    const int paceTicks = PACE_MS * 1000 / TICK_US;
    if (n <= 0 || seconds <= 0 || rate < 0 || strlen(name) > 255)
        return 2;

    uint8_t describe[300], fetch[32], body[260];
    const uint8_t zero[4] = {0};
    memset(body, 0, 4);
    body[4] = (uint8_t)strlen(name);
    memcpy(body + 5, name, strlen(name));
    const size_t describeLen = Frame(describe, PKG_DESCRIBE, body, 5 + strlen(name));
    const size_t fetchLen = Frame(fetch, PKG_FETCH, zero, 4);

    Receiver* rs = calloc((size_t)n, sizeof *rs);
    int ep = epoll_create1(EPOLL_CLOEXEC);
    for (int i = 0; i < n; ++i) {
        rs[i].fd = Connect(port);
        struct epoll_event e = {.events = EPOLLIN, .data.ptr = &rs[i]};
        epoll_ctl(ep, EPOLL_CTL_ADD, rs[i].fd, &e);
        if (send(rs[i].fd, describe, describeLen, MSG_NOSIGNAL) != (ssize_t)describeLen)
            return 1;
    }
    // Every receiver described before the clock starts.
    struct epoll_event ev[256];
    for (int done = 0; done < n;) {
        int k = epoll_wait(ep, ev, 256, 10000);
        if (k <= 0) {
            fprintf(stderr, "describes not answered\n");
            return 1;
        }
        for (int j = 0; j < k; ++j) {
            Receiver* r = ev[j].data.ptr;
            int was = r->described;
            if (Read(r) < 0)
                return 1;
            done += r->described && !was;
        }
    }

    int timer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    struct itimerspec its = {{0, TICK_US * 1000}, {0, TICK_US * 1000}};
    timerfd_settime(timer, 0, &its, NULL);
    struct epoll_event te = {.events = EPOLLIN, .data.ptr = NULL};
    epoll_ctl(ep, EPOLL_CTL_ADD, timer, &te);

    struct rusage u0, u1;
    getrusage(RUSAGE_SELF, &u0);
    const double t0 = Now(), stopAt = t0 + seconds, drainUntil = stopAt + 1.0;
    long tick = 0, failedSends = 0;
    int sending = 1;
    for (;;) {
        double now = Now();
        if (sending && now >= stopAt)
            sending = 0;
        long outstanding = 0;
        for (int i = 0; i < n && !sending; ++i)
            outstanding += rs[i].sent - rs[i].answered;
        if (!sending && (outstanding == 0 || now >= drainUntil))
            break;
        int k = epoll_wait(ep, ev, 256, 100);
        for (int j = 0; j < k; ++j) {
            Receiver* r = ev[j].data.ptr;
            if (!r) {
                uint64_t expired = 0;
                if (read(timer, &expired, sizeof expired) != sizeof expired)
                    continue;
                // Receivers are spread over the ticks of one pace period;
                // a late tick catches up on those it missed.
                for (; expired > 0 && sending; --expired, ++tick) {
                    const double played = rate * ((double)tick * TICK_US * 1e-6 - START_MS * 1e-3);
                    for (int i = (int)(tick % paceTicks); i < n; i += paceTicks) {
                        Receiver* q = &rs[i];
                        if (played > 0 && !q->ends && q->media < (long)played)
                            q->dryTicks++;
                        if (q->ends || (rate > 0 && q->media - (played > 0 ? (long)played : 0) >= QUEUE))
                            continue;
                        if (send(q->fd, fetch, fetchLen, MSG_NOSIGNAL | MSG_DONTWAIT) != (ssize_t)fetchLen) {
                            failedSends++;
                            continue;
                        }
                        q->sentAt[q->sent % RING] = Now();
                        q->sent++;
                    }
                }
                continue;
            }
            if (Read(r) < 0) {
                fprintf(stderr, "server closed a receiver\n");
                return 1;
            }
        }
    }
    getrusage(RUSAGE_SELF, &u1);

    long sent = 0, answered = 0, media = 0, ends = 0, dry = 0, dryTicks = 0;
    for (int i = 0; i < n; ++i) {
        sent += rs[i].sent;
        answered += rs[i].answered;
        media += rs[i].media;
        ends += rs[i].ends;
        dry += rs[i].dryTicks > 0;
        dryTicks += rs[i].dryTicks;
    }
    const double cpu = (u1.ru_utime.tv_sec - u0.ru_utime.tv_sec) + (u1.ru_stime.tv_sec - u0.ru_stime.tv_sec) +
                       ((u1.ru_utime.tv_usec - u0.ru_utime.tv_usec) + (u1.ru_stime.tv_usec - u0.ru_stime.tv_usec)) * 1e-6;
    printf("receivers %d\nseconds %.2f\nrequests %ld\nanswers %ld\nmedia %ld\nends %ld\nfailed_sends %ld\n", n, seconds,
           sent, answered, media, ends, failedSends);
    printf("dry_receivers %ld\ndry_ms %ld\nlat_p50_ms %.2f\nlat_p99_ms %.2f\nlat_max_ms %.2f\nclient_cpu_s %.2f\n",
           dry, dryTicks * PACE_MS, Percentile(0.5), Percentile(0.99), g_latMax * 1000, cpu);
    return 0;
}
