// station_view: serves a live view of the runs under a folder, drawn from
// their records as station_run writes them. It only reads, and no run
// depends on it: it may be started, killed and started again at any time.
#include <fcntl.h>
#include <netdb.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "connections.h"
#include "control_channel.h"
#include "control_gate.h"
#include "escape.h"
#include "getopt_long.h"
#include "guard.h"
#include "server.h"

namespace {

constexpr int kPassed = 0;
constexpr int kTrouble = 2;

const cmdline::option_record long_options[] = {
    {"control", 0, nullptr, 'c'},
    {"help", 0, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

void print_usage(FILE* out, const char* prog) {
    fprintf(out,
            "Usage: %s [--control] [ADDR:]PORT [DIR]\n"
            "Serves a live view of the runs under DIR (default runs): each board's step,\n"
            "the time left to its deadline, its measurements and its verdict, as the\n"
            "records are written. It listens on 127.0.0.1 unless given an address.\n"
            "Options:\n"
            "      --control  Let the operator start boards (of station_run --loop -o DIR),\n"
            "                 answer their questions and abort runs from the page; it\n"
            "                 prints a link, good once, that opens the operator's session\n"
            "  -h, --help     Show this help and exit\n"
            "Exit status: 0 after --help, 2 an error; it ends by the signal that stops it.\n",
            prog);
}

int trouble(const std::string& what) {
    fprintf(stderr, "station_view: %s\n", terminal_safe(what).c_str());
    return kTrouble;
}

struct Address {
    std::string host = "127.0.0.1";
    int port = 0;
};

// [ADDR:]PORT, an IPv6 address in brackets.
bool read_address(const std::string& text, Address& a) {
    std::string port = text;
    const std::size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        a.host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (a.host.size() >= 2 && a.host.front() == '[' && a.host.back() == ']') {
            a.host = a.host.substr(1, a.host.size() - 2);
        }
        if (a.host.empty()) return false;
    }
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != port.npos) {
        return false;
    }
    a.port = std::stoi(port);
    return a.port >= 1 && a.port <= 65535;
}

// Whether the address can be listened on, and if not, why: the library
// says only that it could not.
bool can_listen(const Address& a, std::string& why) {
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(a.host.c_str(), std::to_string(a.port).c_str(), &hints, &found);
    if (rc != 0) {
        why = gai_strerror(rc);
        return false;
    }
    const int fd = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, 0);
    const int yes = 1;
    const bool bound = fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) == 0 &&
                       bind(fd, found->ai_addr, found->ai_addrlen) == 0 && listen(fd, 1) == 0;
    if (!bound) why = strerror(errno);
    if (fd >= 0) close(fd);
    freeaddrinfo(found);
    return bound;
}

}  // namespace

int main(int argc, char* argv[]) {
    const char* prog = "station_view";
    guard_standard_descriptors(prog);
    guard_output();
    int c;
    bool control = false;
    while ((c = cmdline::getopt_long(argc, argv, "h", long_options, nullptr)) != -1) {
        if (c == 'c') {
            control = true;
            continue;
        }
        if (c == 'h') {
            print_usage(stdout, prog);
            return finish_output(prog) ? kPassed : kTrouble;
        }
        print_usage(stderr, prog);
        return kTrouble;
    }
    const int left = argc - cmdline::optind;
    Address address;
    if (left < 1 || left > 2 || !read_address(argv[cmdline::optind], address)) {
        print_usage(stderr, prog);
        return kTrouble;
    }
    const std::string dir = left == 2 ? argv[cmdline::optind + 1] : "runs";
    const int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0) return trouble(dir + ": " + strerror(errno));
    const std::string shown = address.host + ":" + std::to_string(address.port);
    std::string why;
    if (!can_listen(address, why)) return trouble("cannot listen on " + shown + ": " + why);

    // The signals that stop it wait for a thread of their own, which stops the
    // server; every other thread is started with them blocked.
    sigset_t stops;
    sigemptyset(&stops);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, sig);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    // A descriptor for each run followed and each connection: as many as the
    // system lets this process have.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    std::atomic<bool> stopping{false};
    ViewServer server{ConnectionLimits{}};
    ViewSettings settings;
    settings.index = std::make_shared<RunIndex>(dir, dir_fd, 32);
    settings.hosts = hosts_for(address.host, address.port);
    settings.stopping = &stopping;
    // The runs below learn that a view may answer from its lease in DIR.
    int control_fd = -1;
    if (control) {
        if (!make_control_folder(dir) ||
            (control_fd = open((dir + "/" + kControlFolder).c_str(),
                               O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)) < 0 ||
            !renew_view_lease(control_fd)) {
            return trouble(dir + "/" + kControlFolder + ": " + strerror(errno));
        }
        settings.control = std::make_shared<ControlGate>();
    }
    set_up_view(server, settings);
    if (!server.bind(address.host, address.port)) {
        return trouble("cannot listen on " + shown);
    }
    const std::string origin = address.host.find(':') != std::string::npos
                                   ? "[" + address.host + "]:" + std::to_string(address.port)
                                   : shown;
    printf("Serving the runs under %s on http://%s/\n", terminal_safe(dir).c_str(),
           terminal_safe(origin).c_str());
    if (settings.control) {
        // Said once: whoever opens it first is the operator.
        printf("Operator's link (good once): http://%s/control/open?secret=%s\n",
               terminal_safe(origin).c_str(), settings.control->secret().c_str());
    }
    if (!finish_output(prog)) return kTrouble;
    std::thread lease;
    if (control_fd >= 0) {
        lease = std::thread([&stopping, control_fd] {
            while (!stopping.load()) {
                renew_view_lease(control_fd);
                for (int i = 0; i < kViewLeaseRenewS * 10 && !stopping.load(); ++i) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                }
            }
        });
    }
    int stopped_by = 0;
    std::thread waiter([&] {
        sigwait(&stops, &stopped_by);
        stopping = true;
        server.stop();
    });
    server.listen_after_bind();
    const bool by_signal = stopping.load();
    const int error = errno;
    if (!by_signal) pthread_kill(waiter.native_handle(), SIGTERM);  // ends its wait
    waiter.join();
    stopping = true;
    if (lease.joinable()) lease.join();
    if (by_signal) die_by_signal(stopped_by);
    return trouble("the server stopped: " + std::string(strerror(error)));
}
