// session.h - what krvdlc-sim runs: a simulated machine with KRVDLC loaded and a topology
// bound (the default one unless options or a file give another), the outside traffic of
// its replay and live adapters, and krvdlcctl commands run inside it, each on its own
// thread.
//
// Default topology: two Ethernet stations on one segment and two Token Ring stations on a
// ring; the first of each pair indicates by lookahead, the second by whole packets.
//
// Commands that run until stopped (respond, a capture without -c or --duration) are stopped
// once every other command of the run has finished; a run of only such commands goes on
// until Stop() (krvdlc-sim calls it on Ctrl-C).
#pragma once

#include "tools/common/simulated_host.h"
#include "tools/krvdlc-sim/backends.h"
#include "tools/krvdlc-sim/topology.h"
#include "tools/krvdlcctl/cli.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace krvdlcsim {

struct SessionOptions {
    krvdlc::HostOptions host;
    bool loadDriver = true;   // false: the machine runs without KRVDLC (driver not loaded)
    Topology topology = DefaultTopology();
    bool asFastAsPossible = false;   // replays ignore the capture's timestamps
    bool checkDsap = true;           // the DSAP check the refusal counts assume
};

struct StationInfo {
    std::string label;        // "eth1", "eth2", "tr1", "tr2"
    std::string fileName;     // \\.\KrvDlc_{...}
    std::string address;      // "02:00:4B:52:00:01"
    sim::Adapter *adapter = nullptr;
    IndicationStyle style;
    Backend backend;
};

class SimulatedMachine {
public:
    // Reads the captures and opens the live interfaces before the machine starts; throws
    // std::runtime_error (LiveError for an interface) naming what cannot be used.
    explicit SimulatedMachine(SessionOptions options = {});
    ~SimulatedMachine();
    SimulatedMachine(const SimulatedMachine &) = delete;
    SimulatedMachine &operator=(const SimulatedMachine &) = delete;

    krvdlc::SimulatedHost &host() { return *host_; }
    const std::vector<StationInfo> &stations() const { return stations_; }
    bool driverLoaded() const { return host_->loaded(); }
    bool HasReplay() const;
    bool HasLive() const;

    // Starts the late binds, unbinds, rebinds and the delayed binds-complete of the
    // topology, and the replay and live adapters' traffic.
    void StartTraffic();
    // Returns once every replay has indicated its frames and the receive queues have been
    // emptied by readers, or have stopped emptying (no reader).
    void WaitForReplays();
    // Ctrl-C: the replays end after the frame at hand. Any thread.
    void StopReplays();
    // One summary per replay or live adapter, with what the reader of one station (index
    // from 0) took, when known.
    struct Delivered {
        size_t station = 0;
        uint64_t frames = 0;
        uint64_t empty = 0;
    };
    std::vector<TrafficReport> Reports(std::optional<Delivered> delivered = std::nullopt);

    // Stops the traffic, unbinds every adapter, unloads the driver and returns the pool
    // report; what was left behind stops the machine with a bug-check before this returns.
    std::string Finish();

private:
    struct Wired;
    void RunSchedule();
    void StopTraffic();

    SessionOptions options_;
    std::unique_ptr<krvdlc::SimulatedHost> host_;
    std::vector<StationInfo> stations_;
    std::vector<std::unique_ptr<Wired>> wired_;   // one per replay or live adapter
    std::thread schedule_;
    std::mutex scheduleMutex_;
    std::condition_variable scheduleChanged_;
    bool scheduleStopped_ = false;
};

// One krvdlcctl command of a run: its words (command name first) and what it printed and
// returned.
struct CommandRun {
    std::vector<std::string> words;
    std::string output;
    std::string errors;
    int exitCode = -1;
};

// Receives each complete line a command prints (the command's index, stderr or stdout).
using LineObserver = std::function<void(size_t index, bool error, const std::string &line)>;

// Runs commands on threads of their own. Start returns once a command that serves traffic
// (capture, respond) is ready for it or has ended, so a command started next finds it
// listening; other commands start and run on.
class CommandRunner {
public:
    explicit CommandRunner(LineObserver observer = {});
    ~CommandRunner();
    CommandRunner(const CommandRunner &) = delete;
    CommandRunner &operator=(const CommandRunner &) = delete;

    // `command` must stay in place until Finish has returned; returns its index.
    size_t Start(CommandRun &command);
    void Wait(size_t index);
    // Waits for every command that ends by itself, then stops those that run until stopped
    // and waits for them.
    void Finish();
    // Asks every command to stop (Ctrl-C); later ones start stopped.
    void Stop();

private:
    struct Running;
    LineObserver observer_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::unique_ptr<Running>> running_;
    bool stopped_ = false;
};

// Runs the commands side by side (the `--` form of krvdlc-sim) and returns when all ended.
void RunSideBySide(std::vector<CommandRun> &commands, LineObserver observer = {});

// True for commands that run until stopped.
bool RunsUntilStopped(const std::vector<std::string> &words);

}  // namespace krvdlcsim
