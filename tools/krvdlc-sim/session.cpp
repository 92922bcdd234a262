// session.cpp - krvdlc-sim's simulated machine with the default topology, and the runner
// that gives each krvdlcctl command its own thread, streams and stop signal.
#include "tools/krvdlc-sim/session.h"

#include "client/krvdlc_client.h"
#include "tools/krvdlcctl/commands.h"

#include "sim/io_manager.h"
#include "sim/ndis.h"
#include "sim/pool.h"

#include <algorithm>
#include <streambuf>
#include <thread>

namespace krvdlcsim {

namespace {

struct StationPlan {
    const char *label;
    const char16_t *guid;
    const char16_t *instance;
    NDIS_MEDIUM medium;
    sim::MacAddress address;
    sim::ReceivePath path;
};

const StationPlan kDefaultTopology[] = {
    {"eth1", u"{3F1A0001-0000-4B52-8000-000000000001}", u"Simulated Ethernet Adapter #1",
     NdisMedium802_3, {0x02, 0x00, 0x4B, 0x52, 0x00, 0x01}, sim::ReceivePath::Lookahead},
    {"eth2", u"{3F1A0002-0000-4B52-8000-000000000002}", u"Simulated Ethernet Adapter #2",
     NdisMedium802_3, {0x02, 0x00, 0x4B, 0x52, 0x00, 0x02}, sim::ReceivePath::Packet},
    {"tr1", u"{3F1A0003-0000-4B52-8000-000000000003}", u"Simulated Token Ring Adapter #1",
     NdisMedium802_5, {0x40, 0x00, 0x00, 0x00, 0x00, 0x03}, sim::ReceivePath::Lookahead},
    {"tr2", u"{3F1A0004-0000-4B52-8000-000000000004}", u"Simulated Token Ring Adapter #2",
     NdisMedium802_5, {0x40, 0x00, 0x00, 0x00, 0x00, 0x04}, sim::ReceivePath::Packet},
};

std::string MacText(const sim::MacAddress &address)
{
    char text[KRVDLC_MAC_TEXT_SIZE];
    krvdlc_format_mac(address.data(), text);
    return text;
}

}  // namespace

SimulatedMachine::SimulatedMachine(SessionOptions options)
    : host_(std::make_unique<krvdlc::SimulatedHost>(options.host))
{
    if (options.loadDriver && !NT_SUCCESS(host_->Load()))
        return;
    sim::Segment &ethernet = host_->ndis().AddSegment();
    sim::Segment &ring = host_->ndis().AddSegment();
    for (const StationPlan &plan : kDefaultTopology) {
        sim::Adapter &adapter = host_->AddAdapter(plan.guid, plan.medium, plan.address, std::u16string(plan.instance));
        adapter.SetReceivePath(plan.path);
        (plan.medium == NdisMedium802_5 ? ring : ethernet).Attach(adapter);
        if (host_->loaded())
            adapter.Bind();
        stations_.push_back({plan.label, krvdlc::Narrow(krvdlc::SimulatedHost::AdapterFileName(adapter)),
                             MacText(plan.address), &adapter});
    }
    if (host_->loaded())
        host_->ndis().IndicateBindsComplete();
}

SimulatedMachine::~SimulatedMachine() = default;

std::string SimulatedMachine::Finish()
{
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
