// session.cpp - krvdlc-sim's simulated machine with the default topology, and the runner
// that gives each krvdlcctl command its own thread, streams and stop signal.
#include "tools/krvdlc-sim/session.h"

#include "client/krvdlc_client.h"
#include "tools/krvdlcctl/commands.h"

#include "sim/io_manager.h"
#include "sim/ndis.h"
#include "sim/pool.h"

#include <algorithm>
#include <map>
#include <streambuf>
#include <thread>

namespace krvdlcsim {

namespace {

std::string MacText(const sim::MacAddress &address)
{
    char text[KRVDLC_MAC_TEXT_SIZE];
    krvdlc_format_mac(address.data(), text);
    return text;
}

// Receive queues have stopped emptying once the packets in the driver's hands have not
// changed for this long.
constexpr auto kQueueSettle = std::chrono::milliseconds(300);
constexpr auto kQueuePoll = std::chrono::milliseconds(5);

}  // namespace

// A replay or live adapter: its injector and the backend that feeds it.
struct SimulatedMachine::Wired {
    size_t station = 0;
    std::unique_ptr<Injector> injector;
    std::unique_ptr<ReplayBackend> replay;
    std::unique_ptr<LiveBackend> live;
    std::string source;
    sim::Segment *segment = nullptr;
    Capture capture;   // until the replay backend takes it
};

SimulatedMachine::SimulatedMachine(SessionOptions options) : options_(std::move(options))
{
    CheckTopology(options_.topology);
    // Everything outside the machine is checked before it starts.
    std::vector<std::unique_ptr<Wired>> wired;
    for (size_t n = 0; n < options_.topology.adapters.size(); ++n) {
        AdapterPlan &plan = options_.topology.adapters[n];
        if (plan.backend.kind == Backend::Kind::None)
            continue;
        auto entry = std::make_unique<Wired>();
        entry->station = n;
        entry->source = plan.backend.source;
        if (plan.backend.kind == Backend::Kind::Replay) {
            entry->capture = ReadCapture(plan.backend.source);
            if (MediumOfLinkType(entry->capture.linkType) != plan.medium)
                throw std::runtime_error(plan.backend.source + " holds " +
                                         (entry->capture.linkType == kLinkTypeTokenRing ? "Token Ring" : "Ethernet") +
                                         " frames but adapter " + plan.label + " is " +
                                         (plan.medium == NdisMedium802_5 ? "Token Ring" : "Ethernet"));
        } else {
            entry->live = std::make_unique<LiveBackend>(plan.backend.source);
            if (!plan.address)
                plan.address = entry->live->address();
        }
        wired.push_back(std::move(entry));
    }

    host_ = std::make_unique<krvdlc::SimulatedHost>(options_.host);
    if (options_.loadDriver && !NT_SUCCESS(host_->Load()))
        return;
    std::map<std::string, sim::Segment *> segments;
    for (const AdapterPlan &plan : options_.topology.adapters) {
        sim::Adapter &adapter = host_->AddAdapter(plan.guid, plan.medium, plan.address.value_or(sim::MacAddress{}),
                                                  plan.instanceName);
        adapter.SetReceivePath(plan.style.wholePacket() ? sim::ReceivePath::Packet : sim::ReceivePath::Lookahead);
        sim::Segment *&segment = segments[plan.segment];
        if (segment == nullptr)
            segment = &host_->ndis().AddSegment();
        segment->Attach(adapter);
        if (host_->loaded() && !plan.bindAfter)
            adapter.Bind();
        stations_.push_back({plan.label, krvdlc::Narrow(krvdlc::SimulatedHost::AdapterFileName(adapter)),
                             MacText(adapter.Address()), &adapter, plan.style, plan.backend});
    }
    for (auto &entry : wired) {
        const AdapterPlan &plan = options_.topology.adapters[entry->station];
        entry->segment = segments[plan.segment];
        entry->injector = std::make_unique<Injector>(*stations_[entry->station].adapter, plan.style, options_.checkDsap);
        if (!entry->live)
            entry->replay = std::make_unique<ReplayBackend>(*entry->injector, std::move(entry->capture),
                                                            options_.asFastAsPossible);
    }
    wired_ = std::move(wired);
    if (host_->loaded() && !options_.topology.bindsCompleteAfter)
        host_->ndis().IndicateBindsComplete();
}

SimulatedMachine::~SimulatedMachine()
{
    StopTraffic();
}

bool SimulatedMachine::HasReplay() const
{
    return std::any_of(wired_.begin(), wired_.end(), [](const auto &entry) { return entry->live == nullptr; });
}

bool SimulatedMachine::HasLive() const
{
    return std::any_of(wired_.begin(), wired_.end(), [](const auto &entry) { return entry->live != nullptr; });
}

void SimulatedMachine::StartTraffic()
{
    if (!host_->loaded())
        return;
    schedule_ = std::thread([this] { RunSchedule(); });
    for (auto &entry : wired_) {
        if (entry->live) {
            entry->live->Start(*entry->injector, *entry->segment);
        } else {
            entry->replay->Start();
        }
    }
}

// The binds, unbinds and rebinds the topology schedules, and a delayed binds-complete, in
// time order on a thread of their own at PASSIVE_LEVEL; Finish cuts the schedule short.
void SimulatedMachine::RunSchedule()
{
    enum class Step { Bind, Unbind, BindsComplete };
    struct Event {
        Milliseconds at;
        Step step;
        sim::Adapter *adapter;
    };
    std::vector<Event> events;
    for (size_t n = 0; n < stations_.size(); ++n) {
        const AdapterPlan &plan = options_.topology.adapters[n];
        sim::Adapter *adapter = stations_[n].adapter;
        if (plan.bindAfter)
            events.push_back({*plan.bindAfter, Step::Bind, adapter});
        if (plan.unbindAfter)
            events.push_back({*plan.unbindAfter, Step::Unbind, adapter});
        if (plan.rebindAfter)
            events.push_back({*plan.rebindAfter, Step::Bind, adapter});
    }
    if (options_.topology.bindsCompleteAfter)
        events.push_back({*options_.topology.bindsCompleteAfter, Step::BindsComplete, nullptr});
    std::stable_sort(events.begin(), events.end(), [](const Event &a, const Event &b) { return a.at < b.at; });
    auto start = std::chrono::steady_clock::now();
    for (const Event &event : events) {
        {
            std::unique_lock lock(scheduleMutex_);
            if (scheduleChanged_.wait_until(lock, start + event.at, [this] { return scheduleStopped_; }))
                return;
        }
        if (event.step == Step::BindsComplete)
            host_->ndis().IndicateBindsComplete();
        else if (event.step == Step::Bind && !event.adapter->IsOpen())
            event.adapter->Bind();
        else if (event.step == Step::Unbind && event.adapter->IsOpen())
            event.adapter->Unbind();
    }
}

void SimulatedMachine::WaitForReplays()
{
    for (auto &entry : wired_) {
        if (entry->replay)
            entry->replay->Wait();
    }
    if (!HasReplay())
        return;
    // Frames still queued are packets the driver holds (its own or lent); readers are
    // done once none is left, or no reader takes any more.
    sim::Ndis &ndis = host_->ndis();
    auto held = [&ndis] { return ndis.PacketsInUse() + ndis.LentPackets(); };
    size_t last = held();
    auto changed = std::chrono::steady_clock::now();
    while (last != 0 && std::chrono::steady_clock::now() - changed < kQueueSettle) {
        std::this_thread::sleep_for(kQueuePoll);
        size_t now = held();
        if (now != last) {
            last = now;
            changed = std::chrono::steady_clock::now();
        }
    }
}

void SimulatedMachine::StopReplays()
{
    for (auto &entry : wired_) {
        if (entry->replay)
            entry->replay->Stop();
    }
}

std::vector<TrafficReport> SimulatedMachine::Reports(std::optional<Delivered> delivered)
{
    std::vector<TrafficReport> reports;
    uint64_t queueFull = QueueFullDrops(host_->machine());
    for (auto &entry : wired_) {
        const StationInfo &station = stations_[entry->station];
        TrafficReport report;
        report.what = std::string(entry->live ? "live interface " : "replay of ") + entry->source + " on station " +
                      std::to_string(entry->station + 1) + " (" + station.label + ", " + station.style.Describe() + ")";
        report.counts = entry->injector->Counts();
        report.seconds = entry->replay ? entry->replay->Seconds() : 0;
        // The driver's drop entries do not name the adapter: with one wired adapter they
        // are its own.
        report.queueFull = wired_.size() == 1 ? queueFull : 0;
        if (delivered && delivered->station == entry->station) {
            report.delivered = delivered->frames;
            report.deliveredEmpty = delivered->empty;
        }
        if (entry->live) {
            report.what += ", " + std::to_string(entry->live->FramesSent()) + " frames sent on the interface";
            // Lost before the adapter saw them: not in the counts below.
            if (uint64_t dropped = entry->live->SocketDrops(); dropped != 0)
                report.what += ", " + std::to_string(dropped) + " received frames dropped by the kernel (socket full)";
        }
        reports.push_back(report);
    }
    return reports;
}

void SimulatedMachine::StopTraffic()
{
    {
        std::lock_guard lock(scheduleMutex_);
        scheduleStopped_ = true;
    }
    scheduleChanged_.notify_all();
    if (schedule_.joinable())
        schedule_.join();
    for (auto &entry : wired_) {
        if (entry->replay)
            entry->replay->Stop();
        if (entry->live)
            entry->live->Stop();
    }
    for (auto &entry : wired_) {
        if (entry->replay)
            entry->replay->Wait();
    }
}

std::string SimulatedMachine::Finish()
{
    StopTraffic();
    host_->machine().io().WaitForDeferredCloses();
    for (StationInfo &station : stations_) {
        if (station.adapter->IsOpen())
            station.adapter->Unbind();
    }
    if (host_->loaded())
        host_->Unload();
    return host_->machine().pool().Report();
}

namespace {

// A stream buffer that hands each complete line to the observer and keeps the whole text.
class LineBuffer : public std::streambuf {
public:
    LineBuffer(std::function<void(const std::string &)> onLine, std::string &all)
        : onLine_(std::move(onLine)), all_(all)
    {
    }
    ~LineBuffer() override
    {
        if (!line_.empty())
            Emit();
    }

protected:
    int_type overflow(int_type c) override
    {
        if (c == traits_type::eof())
            return traits_type::not_eof(c);
        all_.push_back(static_cast<char>(c));
        if (c == '\n')
            Emit();
        else
            line_.push_back(static_cast<char>(c));
        return c;
    }

private:
    void Emit()
    {
        if (onLine_)
            onLine_(line_);
        line_.clear();
    }

    std::function<void(const std::string &)> onLine_;
    std::string &all_;
    std::string line_;
};

}  // namespace

bool RunsUntilStopped(const std::vector<std::string> &words)
{
    if (words.empty())
        return false;
    if (words[0] == "respond")
        return true;
    if (words[0] != "capture")
        return false;
    return std::none_of(words.begin(), words.end(), [](const std::string &word) {
        return word == "-c" || word == "--count" || word == "--duration";
    });
}

struct CommandRunner::Running {
    CommandRun *command = nullptr;
    krvdlcctl::StopSignal stop;
    bool ready = false;
    bool ended = false;
    std::thread thread;
};

CommandRunner::CommandRunner(LineObserver observer) : observer_(std::move(observer)) {}

CommandRunner::~CommandRunner()
{
    Stop();
    Finish();
}

size_t CommandRunner::Start(CommandRun &command)
{
    auto running = std::make_unique<Running>();
    running->command = &command;
    Running &entry = *running;
    size_t index = 0;
    {
        std::lock_guard lock(mutex_);
        if (stopped_)
            entry.stop.Request();
        index = running_.size();
        running_.push_back(std::move(running));
    }
    auto printer = [this, index](bool error) {
        return [this, index, error](const std::string &line) {
            if (!observer_)
                return;
            std::lock_guard lock(mutex_);
            observer_(index, error, line);
        };
    };
    entry.thread = std::thread([this, &entry, printer] {
        {
            LineBuffer outBuffer(printer(false), entry.command->output);
            LineBuffer errBuffer(printer(true), entry.command->errors);
            std::ostream out(&outBuffer);
            std::ostream err(&errBuffer);
            krvdlcctl::CommandContext context{out, err, entry.stop, false, [this, &entry] {
                                                  std::lock_guard lock(mutex_);
                                                  entry.ready = true;
                                                  changed_.notify_all();
                                              }};
            entry.command->exitCode = krvdlcctl::RunCommand(entry.command->words, context);
        }
        std::lock_guard lock(mutex_);
        entry.ended = true;
        changed_.notify_all();
    });
    const std::string &name = command.words.empty() ? std::string() : command.words[0];
    if (name == "capture" || name == "respond") {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&entry] { return entry.ready || entry.ended; });
    }
    return index;
}

void CommandRunner::Wait(size_t index)
{
    Running *entry = nullptr;
    {
        std::lock_guard lock(mutex_);
        entry = running_.at(index).get();
    }
    if (entry->thread.joinable())
        entry->thread.join();
}

void CommandRunner::Finish()
{
    std::vector<Running *> entries;
    {
        std::lock_guard lock(mutex_);
        for (auto &entry : running_)
            entries.push_back(entry.get());
    }
    for (Running *entry : entries) {
        if (!RunsUntilStopped(entry->command->words) && entry->thread.joinable())
            entry->thread.join();
    }
    for (Running *entry : entries)
        entry->stop.Request();
    for (Running *entry : entries) {
        if (entry->thread.joinable())
            entry->thread.join();
    }
}

void CommandRunner::Stop()
{
    std::lock_guard lock(mutex_);
    stopped_ = true;
    for (auto &entry : running_)
        entry->stop.Request();
}

void RunSideBySide(std::vector<CommandRun> &commands, LineObserver observer)
{
    CommandRunner runner(std::move(observer));
    for (CommandRun &command : commands)
        runner.Start(command);
    runner.Finish();
}

}  // namespace krvdlcsim
