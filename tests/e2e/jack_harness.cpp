#include "e2e/jack_harness.h"

#include <dirent.h>

#include <gtest/gtest.h>
#include <jack/midiport.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace velomire::e2e {

namespace {

using Clock = std::chrono::steady_clock;

// The jackd the watchdog must kill before aborting; -1 while none runs.
std::atomic<pid_t> g_serverPid{-1};

void JackSilent(const char*) {}
void JackToStderr(const char* message) {
    std::fprintf(stderr, "e2e: JACK: %s\n", message);
}

std::string FindInPath(const char* program) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

bool ServerAccepts() {
    // A refused connection is the normal answer while jackd starts: keep libjack quiet.
    jack_set_error_function(&JackSilent);
    jack_set_info_function(&JackSilent);
    jack_status_t status{};
    jack_client_t* probe = jack_client_open("e2e-probe", JackNoStartServer, &status);
    if (probe)
        jack_client_close(probe);
    jack_set_error_function(&JackToStderr);
    return probe != nullptr;
}

bool Reap(pid_t pid, std::chrono::milliseconds within) {
    const auto deadline = Clock::now() + within;
    do {
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } while (Clock::now() < deadline);
    return false;
}

std::string ReadWholeFile(const std::string& path) {
    if (path.empty())
        return {};
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> TakePortList(const char** ports) {
    std::vector<std::string> names;
    if (!ports)
        return names;
    for (const char** p = ports; *p; ++p)
        names.emplace_back(*p);
    jack_free(static_cast<void*>(ports));
    return names;
}

} // namespace

// ---------------------------------------------------------------------------------------

JackServer::JackServer() {
    static std::atomic<int> counter{0};
    name_ = "velomire-e2e-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
}

JackServer::~JackServer() {
    Stop();
}

bool JackServer::Start(std::string& error, std::chrono::milliseconds timeout) {
    if (pid_ > 0)
        return true;
    const std::string jackd = FindInPath("jackd");
    if (jackd.empty()) {
        error = "jackd is not in PATH (install jackd2)";
        return false;
    }

    // libjack and RtMidi read these at every client open. No reservation of audio devices
    // over D-Bus (there is no bus here), and never an implicitly started default server.
    ::setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
    ::setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
    ::setenv("JACK_NO_START_SERVER", "1", 1);

    char logTemplate[] = "/tmp/velomire-e2e-jackd-XXXXXX";
    const int logFd = ::mkstemp(logTemplate);
    if (logFd < 0) {
        error = std::string("cannot create jackd's log file: ") + std::strerror(errno);
        return false;
    }
    logPath_ = logTemplate;

    // -S: each cycle waits for every client. In the default asynchronous mode a client that
    // the loaded machine schedules late loses that period's MIDI (whole periods of events
    // vanished from the burst test); here the cycle runs late instead.
    std::vector<std::string> args = {jackd,   "-S", "-n",    name_, "-d",
                                     "dummy", "-r", "48000", "-p",  "64"};
    const pid_t pid = SpawnChild(args, nullptr, logFd, logFd, nullptr, -1, error);
    if (pid < 0) {
        ::close(logFd);
        return false;
    }
    ::close(logFd);
    pid_ = pid;
    g_serverPid.store(pid);

    const auto deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            g_serverPid.store(-1);
            std::ostringstream why;
            why << "jackd exited during startup (";
            if (WIFEXITED(status))
                why << "status " << WEXITSTATUS(status);
            else
                why << "signal " << WTERMSIG(status);
            why << "); its output:\n" << Output();
            error = why.str();
            return false;
        }
        if (ServerAccepts())
            return true;
        if (Clock::now() >= deadline) {
            error = "jackd accepted no client within " + std::to_string(timeout.count()) +
                    " ms; its output:\n" + Output();
            Stop();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void JackServer::Signal(int signal) {
    if (pid_ <= 0)
        return;
    if (signal != SIGSTOP) {
        ::kill(pid_, signal);
        return;
    }
    Freeze(pid_);
    // A period under way finishes meanwhile: a little longer for the clients of that period.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

void JackServer::Stop() {
    if (pid_ > 0) {
        ::kill(pid_, SIGCONT); // a frozen server cannot act on SIGTERM
        ::kill(pid_, SIGTERM);
        if (!Reap(pid_, std::chrono::seconds(5))) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
        g_serverPid.store(-1);
    }
    if (!logPath_.empty()) {
        ::unlink(logPath_.c_str());
        logPath_.clear();
    }
}

std::string JackServer::Output() const {
    return ReadWholeFile(logPath_);
}

// ---------------------------------------------------------------------------------------

Bytes ReceivedEvent::Message() const {
    return Bytes(bytes.begin(), bytes.begin() + std::min<std::size_t>(size, kMaxBytes));
}

JackPeer::JackPeer(std::string clientName)
    : name_(std::move(clientName)), queue_(new Outgoing[kSendCapacity]),
      sentFrames_(new jack_nframes_t[kSendCapacity]), events_(new ReceivedEvent[kReceiveCapacity]) {
}

JackPeer::~JackPeer() {
    Close();
}

bool PeerClient::Open(const std::string& name, JackProcessCallback process, void* arg,
                      std::string& error,
                      const std::function<void(jack_client_t*)>& beforeActivate) {
    if (client)
        return true;
    jack_status_t status{};
    const auto options = static_cast<jack_options_t>(JackNoStartServer | JackUseExactName);
    client = jack_client_open(name.c_str(), options, &status);
    if (!client) {
        std::ostringstream why;
        why << "cannot open JACK client \"" << name << "\" (status 0x" << std::hex
            << static_cast<unsigned>(status) << ")";
        error = why.str();
        return false;
    }
    out = jack_port_register(client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    in = jack_port_register(client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    if (out && in && beforeActivate)
        beforeActivate(client);
    if (!out || !in || jack_set_process_callback(client, process, arg) != 0 ||
        jack_activate(client) != 0) {
        error = "cannot register or activate the ports of \"" + name + "\"";
        Close();
        return false;
    }
    return true;
}

void PeerClient::Close() {
    if (!client)
        return;
    jack_deactivate(client);
    jack_client_close(client);
    client = nullptr;
    out = nullptr;
    in = nullptr;
}

bool JackPeer::Open(std::string& error) {
    return jack_.Open(name_, &JackPeer::OnProcess, this, error);
}

void JackPeer::Close() {
    jack_.Close();
}

bool JackPeer::Send(const Bytes& message) {
    if (message.empty() || message.size() > kMaxSendBytes)
        return false;
    const std::size_t head = queueHead_.load(std::memory_order_relaxed);
    if (head - queueTail_.load(std::memory_order_acquire) >= kSendCapacity)
        return false;
    Outgoing& slot = queue_[head % kSendCapacity];
    slot.size = static_cast<std::uint16_t>(message.size());
    std::copy(message.begin(), message.end(), slot.bytes.begin());
    queueHead_.store(head + 1, std::memory_order_release);
    return true;
}

std::size_t JackPeer::PendingSends() const {
    return queueHead_.load(std::memory_order_acquire) - queueTail_.load(std::memory_order_acquire);
}

std::vector<Bytes> JackPeer::ReceivedMessages(std::size_t from) const {
    std::vector<Bytes> messages;
    const std::size_t count = ReceivedCount();
    for (std::size_t i = from; i < count; ++i)
        messages.push_back(events_[i].Message());
    return messages;
}

bool JackPeer::WaitForReceived(std::size_t count, std::chrono::milliseconds timeout,
                               const std::function<void()>& poll) const {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (poll)
            poll();
        if (ReceivedCount() >= count)
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

jack_nframes_t JackPeer::BufferSize() const {
    return jack_.client ? jack_get_buffer_size(jack_.client) : 0;
}

bool JackPeer::Connect(const std::string& source, const std::string& destination) {
    if (!jack_.client)
        return false;
    const int r = jack_connect(jack_.client, source.c_str(), destination.c_str());
    return r == 0 || r == EEXIST;
}

std::vector<std::string> JackPeer::Ports(unsigned long flags) const {
    if (!jack_.client)
        return {};
    return TakePortList(jack_get_ports(jack_.client, nullptr, JACK_DEFAULT_MIDI_TYPE, flags));
}

std::vector<std::string> PeerClient::Connections(const std::string& port) const {
    if (!client)
        return {};
    jack_port_t* p = jack_port_by_name(client, port.c_str());
    if (!p)
        return {};
    return TakePortList(jack_port_get_all_connections(client, p));
}

std::vector<std::string> JackPeer::Connections(const std::string& port) const {
    return jack_.Connections(port);
}

// Process thread.
int JackPeer::OnProcess(jack_nframes_t frames, void* self) {
    auto* peer = static_cast<JackPeer*>(self);
    peer->WriteQueued(frames);
    peer->RecordIncoming(frames);
    return 0;
}

// Process thread: no locks, no allocation.
void JackPeer::WriteQueued(jack_nframes_t frames) {
    void* buffer = jack_port_get_buffer(jack_.out, frames);
    jack_midi_clear_buffer(buffer);
    const unsigned limit = maxPerPeriod_.load(std::memory_order_relaxed);
    std::size_t tail = queueTail_.load(std::memory_order_relaxed);
    const std::size_t head = queueHead_.load(std::memory_order_acquire);
    const jack_nframes_t start = jack_last_frame_time(jack_.client);
    unsigned written = 0;
    while (tail != head && (limit == 0 || written < limit)) {
        const Outgoing& slot = queue_[tail % kSendCapacity];
        // Offsets must not decrease; spreading them keeps the period's events apart in time.
        const jack_nframes_t offset = std::min<jack_nframes_t>(written, frames - 1);
        if (jack_midi_event_write(buffer, offset, slot.bytes.data(), slot.size) != 0) {
            bufferFull_.fetch_add(1, std::memory_order_relaxed);
            break; // the rest goes out next period
        }
        sentFrames_[tail % kSendCapacity] = start + offset;
        ++tail;
        ++written;
    }
    queueTail_.store(tail, std::memory_order_release);
}

// Process thread: no locks, no allocation.
void JackPeer::RecordIncoming(jack_nframes_t frames) {
    void* buffer = jack_port_get_buffer(jack_.in, frames);
    const jack_nframes_t base = jack_last_frame_time(jack_.client);
    const std::uint32_t count = jack_midi_get_event_count(buffer);
    const jack_time_t now = count > 0 ? jack_get_time() : 0;
    std::size_t next = received_.load(std::memory_order_relaxed);
    for (std::uint32_t i = 0; i < count; ++i) {
        jack_midi_event_t event;
        if (jack_midi_event_get(&event, buffer, i) != 0)
            continue;
        if (next >= kReceiveCapacity) {
            lost_.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        ReceivedEvent& record = events_[next];
        record.frame = base + event.time;
        record.time = now;
        record.size = static_cast<std::uint32_t>(event.size);
        std::memcpy(record.bytes.data(), event.buffer,
                    std::min<std::size_t>(event.size, ReceivedEvent::kMaxBytes));
        received_.store(++next, std::memory_order_release);
    }
}

// ---------------------------------------------------------------------------------------

ChildProcess::~ChildProcess() {
    Kill();
    for (const std::string* path : {&outPath_, &errPath_})
        if (!path->empty())
            ::unlink(path->c_str());
}

bool ChildProcess::Start(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment, const std::string& workDir,
                         std::string& error) {
    if (pid_ > 0 || argv.empty()) {
        error = pid_ > 0 ? "already started" : "no program given";
        return false;
    }
    int fds[2] = {-1, -1};
    for (int i = 0; i < 2; ++i) {
        char path[] = "/tmp/velomire-e2e-child-XXXXXX";
        fds[i] = ::mkostemp(path, O_CLOEXEC);
        if (fds[i] < 0) {
            error = std::string("cannot create an output file: ") + std::strerror(errno);
            if (i == 1)
                ::close(fds[0]);
            return false;
        }
        (i == 0 ? outPath_ : errPath_) = path;
    }
    const pid_t pid = SpawnChild(argv, &environment, fds[0], fds[1], workDir.c_str(), -1, error);
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return false;
    }
    ::close(fds[0]);
    ::close(fds[1]);
    pid_ = pid;
    status_.reset();
    return true;
}

bool ChildProcess::Running() {
    return pid_ > 0 && !Wait(std::chrono::milliseconds(0));
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout) {
    if (status_ || pid_ <= 0)
        return status_;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = status;
            return status_;
        }
        if (Clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void ChildProcess::Signal(int signal) {
    if (pid_ > 0 && !status_)
        ::kill(pid_, signal);
}

void ChildProcess::Kill() {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        status_ = status;
    }
}

std::string ChildProcess::Stdout() const {
    return ReadWholeFile(outPath_);
}

std::string ChildProcess::Stderr() const {
    return ReadWholeFile(errPath_);
}

// A stop takes effect thread by thread: wait until every thread has stopped.
void Freeze(pid_t pid) {
    ::kill(pid, SIGSTOP);
    const auto allStopped = [pid] {
        const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
        DIR* dir = ::opendir(tasks.c_str());
        if (!dir)
            return true;
        bool stopped = true;
        while (const dirent* e = ::readdir(dir)) {
            if (e->d_name[0] == '.')
                continue;
            std::ifstream stat(tasks + "/" + e->d_name + "/stat");
            std::string line;
            std::getline(stat, line);
            const std::size_t close = line.rfind(')');
            if (close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'T' &&
                line[close + 2] != 't')
                stopped = false;
        }
        ::closedir(dir);
        return stopped;
    };
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    while (!allStopped() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

std::vector<std::string> EnvironmentWith(const std::vector<std::string>& set,
                                         const std::vector<std::string>& unset) {
    auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    std::vector<std::string> names = unset;
    for (const std::string& s : set)
        names.push_back(nameOf(s));
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::find(names.begin(), names.end(), nameOf(*e)) == names.end())
            env.emplace_back(*e);
    env.insert(env.end(), set.begin(), set.end());
    return env;
}

std::string DescribeWaitStatus(int status) {
    if (WIFEXITED(status))
        return "exit " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return std::string("signal ") + std::to_string(WTERMSIG(status)) + " (" +
               ::strsignal(WTERMSIG(status)) + ")";
    return "status " + std::to_string(status);
}

// ---------------------------------------------------------------------------------------

namespace {

class Watchdog;
std::atomic<Watchdog*> g_watchdog{nullptr};

class Watchdog final : public ::testing::EmptyTestEventListener {
public:
    explicit Watchdog(std::chrono::seconds perTest)
        : perTest_(perTest), thread_([this] { Run(); }) {
        g_watchdog = this;
    }
    ~Watchdog() override {
        g_watchdog = nullptr;
        {
            std::lock_guard lock(mutex_);
            quit_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }

    void OnTestStart(const ::testing::TestInfo& test) override {
        {
            std::lock_guard lock(mutex_);
            test_ = std::string(test.test_suite_name()) + "." + test.name();
            deadline_ = Clock::now() + perTest_;
            armed_ = true;
        }
        wake_.notify_all();
    }

    void Extend(std::chrono::seconds more) {
        std::lock_guard lock(mutex_);
        deadline_ += more;
    }

    void OnTestEnd(const ::testing::TestInfo&) override {
        std::lock_guard lock(mutex_);
        armed_ = false;
    }

private:
    void Run() {
        std::unique_lock lock(mutex_);
        while (!quit_) {
            if (!armed_) {
                wake_.wait(lock);
                continue;
            }
            if (wake_.wait_until(lock, deadline_) == std::cv_status::timeout && armed_ &&
                Clock::now() >= deadline_) {
                std::fprintf(stderr, "e2e watchdog: %s still running after %lld s; aborting\n",
                             test_.c_str(), static_cast<long long>(perTest_.count()));
                const pid_t server = g_serverPid.load();
                if (server > 0) {
                    ::kill(server, SIGKILL);
                    ::waitpid(server, nullptr, 0);
                }
                std::abort();
            }
        }
    }

    const std::chrono::seconds perTest_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool quit_ = false;
    bool armed_ = false;
    std::string test_;
    Clock::time_point deadline_{};
    std::thread thread_;
};

} // namespace

void ExtendWatchdog(std::chrono::seconds more) {
    if (Watchdog* w = g_watchdog.load())
        w->Extend(more);
}

void InstallWatchdog(std::chrono::seconds perTest) {
    // gtest owns and deletes its listeners.
    ::testing::UnitTest::GetInstance()->listeners().Append(new Watchdog(perTest));
}

pid_t SpawnChild(const std::vector<std::string>& argv, const std::vector<std::string>* envp,
                 int outFd, int errFd, const char* workDir, int passFd, std::string& error) {
    if (argv.empty()) {
        error = "no program given";
        return -1;
    }
    // Everything the child needs is built before fork: after it only async-signal-safe calls.
    std::vector<std::string> args = argv;
    std::vector<std::string> env = envp ? *envp : std::vector<std::string>{};
    std::vector<char*> argp, envv;
    for (auto& a : args)
        argp.push_back(a.data());
    argp.push_back(nullptr);
    for (auto& e : env)
        envv.push_back(e.data());
    envv.push_back(nullptr);

    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        error = std::string("fork failed: ") + std::strerror(errno);
        return -1;
    }
    if (pid == 0) {
        // The child dies with us, even when the test program crashes or is killed.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::dup2(outFd, STDOUT_FILENO);
        ::dup2(errFd, STDERR_FILENO);
        const int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0)
            ::dup2(null, STDIN_FILENO);
        if (passFd >= 0) {
            if (passFd != 3)
                ::dup2(passFd, 3);
            ::fcntl(3, F_SETFD, 0);
            ::close_range(4, ~0u, 0);
        } else {
            ::close_range(3, ~0u, 0);
        }
        if (!workDir || ::chdir(workDir) == 0) {
            if (envp)
                ::execve(argp[0], argp.data(), envv.data());
            else
                ::execv(argp[0], argp.data());
        }
        static const char msg[] = "cannot enter the working directory or exec\n";
        [[maybe_unused]] const auto n = ::write(STDERR_FILENO, msg, sizeof msg - 1);
        ::_exit(127);
    }
    return pid;
}

void IsolateJackState() {
    if (::geteuid() != 0)
        return;
    if (::unshare(CLONE_NEWNS) != 0)
        return;
    // Private propagation first, so the new /dev/shm is not seen outside.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return;
    ::mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "size=4g,mode=1777");
}

} // namespace velomire::e2e
