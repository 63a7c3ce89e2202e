// A real bottleneck for tests: three network namespaces, a client's, a
// router's and a server's, joined by two veth pairs; a token-bucket filter on
// the router's way to the server (and, if asked, its way back); a real iperf3
// server at the far end; and the calling thread inside the client's
// namespace, so that the iperf3 and ping it starts run there. Everything is
// taken down again when it goes: the server, the namespaces, and the thread
// is back at home.
#pragma once

#include <fcntl.h>
#include <glib.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace trellan::testing {

class ShapedLink {
 public:
  struct Shape {
    std::string tbf;         // e.g. "rate 20mbit burst 32kbit limit 3000000"
    bool both_ways = false;  // the way back to the client too
    // reno at both ends, which fills a queue, where the machine's default
    // (bbr here) keeps it short; a new namespace may choose only among the
    // allowed ones: reno, not cubic.
    bool reno = false;
  };

  // `tag` names the namespaces; the client side is 10.`net`.1.0/24, the
  // server's 10.`net`.2.0/24.
  ShapedLink(const std::string& tag, int net) : net_(std::to_string(net)) {
    const char* ends[] = {"c", "r", "s"};
    for (std::size_t i = 0; i < 3; ++i) ns_[i] = "trellan-" + tag + "-" + ends[i] + "-" + std::to_string(::getpid());
  }
  ShapedLink(const ShapedLink&) = delete;
  ShapedLink& operator=(const ShapedLink&) = delete;
  ~ShapedLink() {
    end_reference();
    if (server_ > 0) {
      ::kill(server_, SIGKILL);
      ::waitpid(server_, nullptr, 0);
    }
    if (home_ >= 0) {
      ::setns(home_, CLONE_NEWNET);
      ::close(home_);
    }
    for (const auto& n : ns_) sh("ip netns del " + n);
  }

  // Runs a shell command; true when it succeeded.
  static bool sh(const std::string& command) {
    return std::system(("{ " + command + "; } >/dev/null 2>&1").c_str()) == 0;
  }

  // Empty when everything is up; otherwise what could not be made.
  std::string make(const Shape& shape) {
    if (::geteuid() != 0) return "making network namespaces needs root";
    if (!sh("command -v tc && command -v iperf3 && command -v ping && command -v nsenter"))
      return "tc, iperf3, ping or nsenter is missing (Debian: iproute2, iperf3, iputils-ping, util-linux)";
    for (const auto& n : ns_)
      if (!sh("ip netns add " + n)) return "ip netns add failed";
    const std::string c = in(0), r = in(1), s = in(2), a = "10." + net_ + ".";
    const bool wired =
        sh(c + "ip link add vc type veth peer name rc netns " + ns_[1]) &&
        sh(s + "ip link add vs type veth peer name rs netns " + ns_[1]) &&
        sh(c + "ip addr add " + a + "1.1/24 dev vc") && sh(r + "ip addr add " + a + "1.2/24 dev rc") &&
        sh(s + "ip addr add " + a + "2.1/24 dev vs") && sh(r + "ip addr add " + a + "2.2/24 dev rs") &&
        sh(c + "ip link set vc up") && sh(r + "ip link set rc up") && sh(r + "ip link set rs up") &&
        sh(s + "ip link set vs up") && sh(c + "ip link set lo up") && sh(s + "ip link set lo up") &&
        sh(c + "ip route add default via " + a + "1.2") && sh(s + "ip route add default via " + a + "2.2") &&
        sh(r + "sysctl -q -w net.ipv4.ip_forward=1");
    if (!wired) return "the namespaces could not be wired";
    if (shape.reno && (!sh(c + "sysctl -q -w net.ipv4.tcp_congestion_control=reno") ||
                       !sh(s + "sysctl -q -w net.ipv4.tcp_congestion_control=reno")))
      return "reno could not be chosen";
    for (const char* dev : {"rs", "rc"}) {
      if (!sh(r + "tc qdisc add dev " + dev + " root tbf " + shape.tbf))
        return "the token-bucket filter could not be added";
      if (!shape.both_ways) break;
    }
    server_ = ::fork();
    if (server_ == 0) {
      ::execlp("nsenter", "nsenter", ("--net=/run/netns/" + ns_[2]).c_str(), "iperf3", "-s", "-p", "5201", "-B",
               server().c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    home_ = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    const int ns = ::open(("/run/netns/" + ns_[0]).c_str(), O_RDONLY | O_CLOEXEC);
    const bool entered = ns >= 0 && ::setns(ns, CLONE_NEWNET) == 0;
    if (ns >= 0) ::close(ns);
    if (!entered) return "could not enter the namespace";
    // The server listens once ss says so (a probe connection would be a client).
    for (int i = 0; i < 100; ++i) {
      if (in_server("ss -Hltn 'sport = :5201' | grep -q 5201")) return {};
      g_usleep(50000);
    }
    return "the iperf3 server did not start";
  }

  // The iperf3 server's address.
  std::string server() const { return "10." + net_ + ".2.1"; }

  // Runs a command in the server's namespace (a pipe's later commands run
  // outside it).
  bool in_server(const std::string& command) const { return sh(in(2) + command); }

  // A reference ping from the client's namespace beside the app's, ten probes
  // a second to the server, its output to `log`.
  void start_reference(const std::string& log) {
    reference_ = ::fork();
    if (reference_ == 0) {
      const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
      if (fd < 0 || ::dup2(fd, STDOUT_FILENO) < 0) ::_exit(127);
      ::execlp("ping", "ping", "-n", "-i", "0.1", server().c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
  }
  // Ends the reference ping as a user's Ctrl-C would: it counts its probes
  // still unanswered as lost and prints its statistics.
  void end_reference() {
    if (reference_ <= 0) return;
    ::kill(reference_, SIGINT);
    ::waitpid(reference_, nullptr, 0);
    reference_ = -1;
  }

 private:
  std::string in(std::size_t i) const { return "nsenter --net=/run/netns/" + ns_[i] + " "; }
  std::string net_;
  std::string ns_[3];
  pid_t server_ = -1, reference_ = -1;
  int home_ = -1;
};

}  // namespace trellan::testing
