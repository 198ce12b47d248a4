#include "avahi_test_daemon.hpp"

#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tessarine::test {

namespace {

const char* const busConfig =
    R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=@DIR@/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_type="method_return"/>
    <allow send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="signal"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
  </policy>
</busconfig>
)";

const char* const avahiConfig = R"([server]
use-ipv4=yes
use-ipv6=no
allow-interfaces=lo
enable-dbus=yes
ratelimit-interval-usec=0
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
)";

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

std::string runCapture(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        return output;
    char buffer[4096];
    std::size_t count;
    while ((count = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, count);
    ::pclose(pipe);
    return output;
}

bool haveTool(const char* name) {
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

// avahi-browse -p escapes names as DNS labels: "\032" for a space, "\." etc.
std::string unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() &&
            std::isdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isdigit(static_cast<unsigned char>(text[i + 2])) &&
            std::isdigit(static_cast<unsigned char>(text[i + 3]))) {
            out.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 3))));
            i += 3;
        } else if (text[i] == '\\' && i + 1 < text.size()) {
            out.push_back(text[++i]);
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::vector<std::string> split(const std::string& line, char separator) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = line.find(separator, start);
        fields.push_back(line.substr(start, end - start));
        if (end == std::string::npos)
            return fields;
        start = end + 1;
    }
}

} // namespace

std::string AvahiTestDaemon::busAddressFor(const std::string& directory) {
    return "unix:path=" + directory + "/bus";
}

std::unique_ptr<AvahiTestDaemon> AvahiTestDaemon::start(std::string& whyNot,
                                                        const std::string& directory) {
    if (::geteuid() != 0) {
        whyNot = "needs root to create a network namespace";
        return nullptr;
    }
    for (const char* tool : {"dbus-daemon", "avahi-daemon", "avahi-browse", "unshare", "ip"}) {
        if (!haveTool(tool)) {
            whyNot = std::string(tool) + " is not installed";
            return nullptr;
        }
    }
    if (std::system("unshare -n true >/dev/null 2>&1") != 0) {
        whyNot = "cannot create a network namespace here";
        return nullptr;
    }

    std::unique_ptr<AvahiTestDaemon> daemon(new AvahiTestDaemon);
    if (directory.empty()) {
        char pattern[] = "/tmp/tessarine-avahi-XXXXXX";
        if (!::mkdtemp(pattern)) {
            whyNot = "cannot create a temporary directory";
            return nullptr;
        }
        daemon->directory_ = pattern;
        daemon->ownsDirectory_ = true;
    } else {
        std::filesystem::create_directories(directory);
        daemon->directory_ = directory;
    }
    const std::string& dir = daemon->directory_;
    std::ofstream(dir + "/dbus.conf") << replaceAll(busConfig, "@DIR@", dir);
    std::ofstream(dir + "/avahi.conf") << avahiConfig;

    // Both daemons are our children, each with its output on a pipe we read.
    auto spawn = [&](const std::vector<std::string>& argv, int& readEnd) -> pid_t {
        int fds[2];
        if (::pipe(fds) != 0)
            return -1;
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(fds[1], STDOUT_FILENO);
            ::dup2(fds[1], STDERR_FILENO);
            ::close(fds[0]);
            ::close(fds[1]);
            ::setenv("DBUS_SYSTEM_BUS_ADDRESS", busAddressFor(dir).c_str(), 1);
            std::vector<char*> args;
            for (const auto& arg : argv)
                args.push_back(const_cast<char*>(arg.c_str()));
            args.push_back(nullptr);
            ::execvp(args[0], args.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        if (pid < 0)
            ::close(fds[0]);
        else
            readEnd = fds[0];
        return pid;
    };
    // Reads a child's output until `marker` shows up, boundedly.
    auto waitFor = [](int fd, const std::string& marker, std::string& log) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (log.find(marker) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd entry{fd, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) <= 0)
                return false;
            char buffer[4096];
            const ssize_t count = ::read(fd, buffer, sizeof buffer);
            if (count <= 0)
                return false;
            log.append(buffer, static_cast<std::size_t>(count));
        }
        return true;
    };

    // The bus prints its address once it listens.
    std::string busLog;
    daemon->busPid_ = spawn(
        {"dbus-daemon", "--config-file=" + dir + "/dbus.conf", "--nofork", "--print-address=1"},
        daemon->busOutput_);
    if (daemon->busPid_ < 0 || !waitFor(daemon->busOutput_, "\n", busLog)) {
        whyNot = "dbus-daemon did not start: " + busLog;
        return nullptr;
    }
    daemon->busAddress_ = busAddressFor(dir);

    const std::string script =
        "mkdir -p /run/avahi-daemon && mount -t tmpfs tmpfs /run/avahi-daemon && "
        "ip link set lo up && ip link set lo multicast on && "
        "exec avahi-daemon --no-drop-root --no-chroot --no-rlimits -f " +
        dir + "/avahi.conf";
    daemon->avahiPid_ = spawn({"unshare", "-n", "-m", "sh", "-c", script}, daemon->avahiOutput_);
    std::string log;
    if (daemon->avahiPid_ < 0 || !waitFor(daemon->avahiOutput_, "Server startup complete", log)) {
        whyNot = "avahi-daemon did not become ready: " + log;
        return nullptr;
    }
    // Keep reading so the daemon never blocks on a full pipe.
    daemon->drain_ = std::thread([fd = daemon->avahiOutput_] {
        char buffer[4096];
        while (::read(fd, buffer, sizeof buffer) > 0) {
        }
    });
    return daemon;
}

AvahiTestDaemon::~AvahiTestDaemon() {
    if (avahiPid_ > 0) {
        ::kill(avahiPid_, SIGTERM);
        ::waitpid(avahiPid_, nullptr, 0);
    }
    if (drain_.joinable())
        drain_.join(); // the pipe ends with the daemon
    if (avahiOutput_ >= 0)
        ::close(avahiOutput_);
    if (busPid_ > 0) {
        ::kill(busPid_, SIGTERM);
        ::waitpid(busPid_, nullptr, 0);
    }
    if (busOutput_ >= 0)
        ::close(busOutput_);
    if (ownsDirectory_) {
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }
}

std::vector<BrowsedService> AvahiTestDaemon::browse(const std::string& type) const {
    const std::string output = runCapture("DBUS_SYSTEM_BUS_ADDRESS=" + busAddress_ +
                                          " avahi-browse -rpt " + type + " 2>/dev/null");
    std::vector<BrowsedService> services;
    for (const auto& line : split(output, '\n')) {
        // =;interface;protocol;name;type;domain;host;address;port;txt
        const auto fields = split(line, ';');
        if (fields.size() < 9 || fields[0] != "=")
            continue;
        services.push_back({unescape(fields[3]), fields[4],
                            static_cast<std::uint16_t>(std::atoi(fields[8].c_str()))});
    }
    return services;
}

bool AvahiTestDaemon::waitUntil(
    const std::string& type,
    const std::function<bool(const std::vector<BrowsedService>&)>& condition,
    std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        // Each pass blocks in avahi-browse until the daemon has answered.
        if (condition(browse(type)))
            return true;
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

} // namespace tessarine::test
