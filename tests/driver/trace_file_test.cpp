// The trace file \SystemRoot\trace\krvdlc.trc and its writer thread from start to unload:
// what reaches the file and what does not, the 10-second passes, an unwritable volume, the
// queue limit, the stop request racing the thread's start, buffers left when the thread
// stops by itself, and many producers at DISPATCH_LEVEL.
#include "tests/support/driver_test_support.h"

#include "sim/threads.h"

#include <atomic>
#include <cctype>
#include <mutex>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>

namespace krvdlc::test {
namespace {

const std::regex kTimeStampLine(R"((Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d\d, \d{4}  \d\d:\d\d:\d\d\.\d{3}\n)");
constexpr char kQueueFull[] = "KRVDLC: ** QueueCount exceeded maximum\n";

constexpr char kTraceFolder[] = "\\SystemRoot\\trace";
constexpr auto kTenSeconds = std::chrono::seconds(10);

// Text split after each line feed, every piece keeping its "\n" (a last piece without one
// is kept as it is).
std::vector<std::string> SplitLines(std::string_view text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        end = end == std::string_view::npos ? text.size() : end + 1;
        lines.emplace_back(text.substr(start, end - start));
        start = end;
    }
    return lines;
}

size_t CountPrints(sim::Machine &machine, std::string_view text)
{
    size_t count = 0;
    for (const std::string &print : machine.debugger().Prints())
        count += print == text ? 1 : 0;
    return count;
}

// Writes to the trace file so far.
size_t TraceFileWrites(sim::Machine &machine)
{
    size_t writes = 0;
    for (const sim::FileOperation &op : machine.files().Operations())
        writes += op.kind == sim::FileOperation::Kind::Write ? 1 : 0;
    return writes;
}

// The trace thread, with auto-advance off, is blocked in its 10-second wait with nothing
// queued and TraceEvent not signalled: nothing can start a pass but the clock. Only the
// trace thread waits with a time-out in these tests.
bool TraceThreadIdle(sim::Machine &machine)
{
    return WaitUntil([&] {
        return machine.clock().TimedWaiterCount() == 1 && ReadNoFence(&DRIVER_SYMBOL(QueueCount)) == 0 &&
               machine.dispatcher().ReadState(&DRIVER_SYMBOL(TraceEvent)) == 0;
    });
}

// Moves the clock by the trace thread's period and waits until it has run the pass this
// started (it reopened the file) and waits again.
bool RunTimedPass(sim::Machine &machine)
{
    const uint64_t opens = machine.files().OpenCount(kTraceFile);
    machine.clock().Advance(kTenSeconds);
    return WaitUntil([&] {
        return machine.files().OpenCount(kTraceFile) > opens && machine.clock().TimedWaiterCount() == 1;
    });
}

// Threads that wait on TraceEvent ahead of the trace thread, so that the signals of the
// next `count` queued buffers release them, one each, instead of the trace thread: the
// dispatcher releases the waiters of a synchronization event first come, first served.
// Start them only while the trace thread is already blocked in its wait.
class SignalAbsorbers {
public:
    SignalAbsorbers(sim::Machine &machine, size_t count)
    {
        const size_t before = machine.clock().WaiterCount();
        for (size_t i = 0; i < count; ++i) {
            threads_.emplace_back([this] {
                sim::BeginThreadContext("absorber");
                KeWaitForSingleObject(&DRIVER_SYMBOL(TraceEvent), Executive, KernelMode, FALSE, nullptr);
                released_.fetch_add(1);
            });
        }
        ready_ = machine.clock().WaitForWaiters(before + count);
    }
    ~SignalAbsorbers() { ReleaseAll(); }
    SignalAbsorbers(const SignalAbsorbers &) = delete;
    SignalAbsorbers &operator=(const SignalAbsorbers &) = delete;

    bool ready() const { return ready_; }
    size_t released() const { return released_.load(); }

    // Signals until every absorber is gone (a signal that wakes the trace thread instead
    // only starts a pass) and joins them.
    void ReleaseAll()
    {
        while (released_.load() < threads_.size()) {
            KeSetEvent(&DRIVER_SYMBOL(TraceEvent), 0, FALSE);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        for (std::thread &thread : threads_) {
            if (thread.joinable())
                thread.join();
        }
    }

private:
    std::vector<std::thread> threads_;
    std::atomic<size_t> released_{0};
    bool ready_ = false;
};

std::vector<std::string> TraceFileLines(sim::Machine &machine)
{
    std::optional<std::string> text = machine.files().ReadFile(kTraceFile);
    return text ? SplitLines(*text) : std::vector<std::string>{};
}

// An unload that comes before the thread has even created the file stops it with its own
// lines still in the current buffer, never written; these tests want them in the file.
bool WaitUntilFileCreated()
{
    return WaitUntil([] { return ReadNoFence(&DRIVER_SYMBOL(TraceThreadState)) == TRACE_THREAD_RUNNING; });
}

bool IsLevel5Line(const std::string &line)
{
    for (const char *start : {"Entering", "Leaving", "Initializing driver trace utility",
                              "KRVDLCTRACE: Opening trace file", "Finalizing trace utility"}) {
        if (line.rfind(start, 0) == 0)
            return true;
    }
    return false;
}

TEST(TraceFile, DebuggerOnlyLevelMakesNoThreadAndTouchesNoFile)
{
    SimulatedHost host(WithTraceLevel(0x85));
    ASSERT_EQ(host.Load(), STATUS_SUCCESS);
    EXPECT_EQ(ReadNoFence(&DRIVER_SYMBOL(TraceLevel)), 0x85u);
    EXPECT_TRUE(host.machine().threads().List().empty());
    ASSERT_TRUE(host.Unload());
    EXPECT_TRUE(host.machine().files().Operations().empty());
    EXPECT_FALSE(host.machine().files().Exists(kTraceFolder));
}

// Level 4 traces to the file only: the folder is made or the old file emptied, levels 1 to
// 4 reach it, the unload's time stamp and "Terminating the trace thread...\n" end it.
TEST(TraceFile, LevelFourFillsTheFileFromStartToUnload)
{
    for (bool oldFile : {false, true}) {
        SCOPED_TRACE(oldFile ? "old file emptied" : "folder created");
        SimulatedHost host(WithTraceLevel(4));
        sim::Machine &machine = host.machine();
        if (oldFile) {
            const std::filesystem::path path = machine.files().Root() / "trace" / "krvdlc.trc";
            std::filesystem::create_directories(path.parent_path());
            std::ofstream(path) << "stale line of an earlier start\n";
        }
        ASSERT_EQ(host.Load(), STATUS_SUCCESS);
        EXPECT_EQ(ReadNoFence(&DRIVER_SYMBOL(TraceLevel)), 0x44u);
        ASSERT_TRUE(WaitUntilFileCreated());
        ASSERT_TRUE(host.Unload());

        const std::vector<std::string> lines = TraceFileLines(machine);
        ASSERT_GE(lines.size(), 4u);
        for (const std::string &line : lines) {
            EXPECT_EQ(line.back(), '\n') << line;
            EXPECT_FALSE(IsLevel5Line(line)) << line;
            EXPECT_EQ(line.find("stale"), std::string::npos);
        }
        for (const char *expected : {"KRVDLCTRACE: Successfully opened folder: \\SystemRoot\\trace\n",
                                     "KRVDLCTRACE: Successfully created file: \\SystemRoot\\trace\\krvdlc.trc\n",
                                     "DriverEntry\n"}) {
            EXPECT_EQ(std::count(lines.begin(), lines.end(), expected), 1) << expected;
        }
        EXPECT_TRUE(std::regex_match(lines[lines.size() - 2], kTimeStampLine)) << lines[lines.size() - 2];
        EXPECT_EQ(lines.back(), "Terminating the trace thread...\n");
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [](const std::string &l) { return std::regex_match(l, kTimeStampLine); }),
                  2);

        // Only what was traced while the level was still 0xFF reached the debugger.
        const std::vector<std::string> prints = machine.debugger().Prints();
        ASSERT_FALSE(prints.empty());
        EXPECT_EQ(prints.back(), "KRVDLC: TraceLevel is: 0x00000004\n");
    }
}

// With the debugger on as well, the file holds exactly the lines the debugger got from the
// moment the queue existed to the line that flushes it at unload.
TEST(TraceFile, FileHoldsWhatTheDebuggerGotOnceTheQueueExisted)
{
    SimulatedHost host(WithTraceLevel(0xC4));
    sim::Machine &machine = host.machine();
    ASSERT_EQ(host.Load(), STATUS_SUCCESS);
    ASSERT_TRUE(WaitUntilFileCreated());
    ASSERT_TRUE(host.Unload());

    std::vector<std::string> traced;
    bool queueExists = false;
    for (const std::string &print : machine.debugger().Prints()) {
        if (print == "KRVDLC: Flushing the trace queue\n")
            break;
        if (queueExists && print.rfind("KRVDLC: ", 0) == 0)
            traced.push_back(print.substr(8));
        if (print == "KRVDLC: Tracing to file is enabled\n")
            queueExists = true;
    }
    std::vector<std::string> inFile = TraceFileLines(machine);
    // The driver's own lines keep their order; the thread's may interleave with them.
    auto driverLines = [](std::vector<std::string> lines) {
        lines.erase(std::remove_if(lines.begin(), lines.end(),
                                   [](const std::string &l) { return l.rfind("KRVDLCTRACE: ", 0) == 0; }),
                    lines.end());
        return lines;
    };
    EXPECT_EQ(driverLines(inFile), driverLines(traced));
    std::sort(traced.begin(), traced.end());
    std::sort(inFile.begin(), inFile.end());
    EXPECT_EQ(inFile, traced);
}

TEST(TraceFile, IdleThreadWakesEveryTenSecondsAndReopensTheFile)
{
    SimulatedHost host(WithTraceLevel(4));
    sim::Machine &machine = host.machine();
    machine.clock().SetAutoAdvance(false);
    ASSERT_EQ(host.Load(), STATUS_SUCCESS);
    ASSERT_TRUE(TraceThreadIdle(machine));

    const size_t writes = TraceFileWrites(machine);
    const uint64_t opens = machine.files().OpenCount(kTraceFile);
    const uint64_t closes = machine.files().CloseCount(kTraceFile);

    // Short of its period the thread sleeps on.
    machine.clock().Advance(std::chrono::seconds(9));
    EXPECT_EQ(machine.clock().TimedWaiterCount(), 1u);
    EXPECT_EQ(machine.files().OpenCount(kTraceFile), opens);

    for (uint64_t pass = 1; pass <= 3; ++pass) {
        ASSERT_TRUE(RunTimedPass(machine)) << pass;
        EXPECT_EQ(machine.files().OpenCount(kTraceFile), opens + pass);
        EXPECT_EQ(machine.files().CloseCount(kTraceFile), closes + pass);
        EXPECT_EQ(machine.files().OpenHandleCount(kTraceFile), 1u);
    }
    EXPECT_EQ(TraceFileWrites(machine), writes);

    machine.clock().SetAutoAdvance(true);
    ASSERT_TRUE(host.Unload());
}

TEST(TraceFile, UnwritableVolumeEndsTheThreadAtOnce)
{
    for (uint32_t level : {0x04u, 0xC4u}) {
        SCOPED_TRACE(level);
        SimulatedHost host(WithTraceLevel(level));
        sim::Machine &machine = host.machine();
        machine.files().SetReadOnly(true);
        const int64_t start = machine.clock().Now();
        ASSERT_EQ(host.Load(), STATUS_SUCCESS);
        ASSERT_TRUE(machine.threads().WaitUntilAllEnded());

        EXPECT_EQ(ReadNoFence(&DRIVER_SYMBOL(TraceLevel)), level & ~0x40u);
        EXPECT_FALSE(ReadNoFence(&DRIVER_SYMBOL(TraceInitialized)));
        EXPECT_EQ(ReadNoFence(&DRIVER_SYMBOL(TraceThreadState)), (ULONG)TRACE_THREAD_STOPPED);
        EXPECT_FALSE(machine.files().Exists(kTraceFile));
        // No pass ran: with auto-advance on, any wait of the thread would have moved time.
        EXPECT_EQ(machine.clock().Now(), start);
        ASSERT_TRUE(host.Unload());
        EXPECT_EQ(machine.clock().Now(), start);

        if (level & TRACE_TO_DEBUGGER) {
            EXPECT_EQ(CountPrints(machine, "KRVDLCTRACE: ** Unable to create file: \\SystemRoot\\trace\\krvdlc.trc"), 1u);
            EXPECT_EQ(CountPrints(machine, "KRVDLCTRACE: Trace thread is self-terminating\n"), 1u);
        }
    }
}

// 17 queued buffers stop the file until the thread takes them: the thread is held in its
// wait by threads that take the buffers' signals in its place, and only the clock wakes it.
TEST(TraceFile, SeventeenQueuedBuffersDropLinesUntilTheThreadDrainsThem)
{
    SimulatedHost host(WithTraceLevel(0xC4));
    sim::Machine &machine = host.machine();
    machine.clock().SetAutoAdvance(false);
    ASSERT_EQ(host.Load(), STATUS_SUCCESS);
    ASSERT_TRUE(TraceThreadIdle(machine));

    SignalAbsorbers absorbers(machine, TRACE_QUEUE_LIMIT + 1);
    ASSERT_TRUE(absorbers.ready());
    // One timed pass puts the trace thread's next wait behind the absorbers'.
    ASSERT_TRUE(RunTimedPass(machine));
    const size_t writes = TraceFileWrites(machine);

    // ~100 lines a buffer: 3000 lines are far more than 17 buffers hold.
    const int burst = 3000;
    char line[64];
    for (int i = 0; i < burst; ++i) {
        std::snprintf(line, sizeof line, "burst %05d ................................\n", i);
        DRIVER_SYMBOL(TraceMessage)(1, line);
    }
    ASSERT_TRUE(WaitUntil([&] { return absorbers.released() == TRACE_QUEUE_LIMIT + 1; }));
    EXPECT_EQ(ReadNoFence(&DRIVER_SYMBOL(QueueCount)), TRACE_QUEUE_LIMIT + 1u);
    EXPECT_EQ(TraceFileWrites(machine), writes);
    const size_t dropped = CountPrints(machine, kQueueFull);
    EXPECT_GT(dropped, 0u);

    // One pass writes all 17, and lines reach the buffers again.
    ASSERT_TRUE(RunTimedPass(machine));
    EXPECT_EQ(TraceFileWrites(machine), writes + TRACE_QUEUE_LIMIT + 1);
    EXPECT_EQ(ReadNoFence(&DRIVER_SYMBOL(QueueCount)), 0u);
    DRIVER_SYMBOL(TraceMessage)(1, "after the pass\n");
    EXPECT_EQ(CountPrints(machine, kQueueFull), dropped);

    absorbers.ReleaseAll();
    machine.clock().SetAutoAdvance(true);
    ASSERT_TRUE(host.Unload());

    // The file has the burst's first lines without a gap, then the line after the pass.
    std::vector<int> numbers;
    bool afterPass = false;
    for (const std::string &l : TraceFileLines(machine)) {
        int n;
        if (std::sscanf(l.c_str(), "burst %05d ", &n) == 1) {
            EXPECT_FALSE(afterPass);
            numbers.push_back(n);
        }
        afterPass = afterPass || l == "after the pass\n";
    }
    EXPECT_TRUE(afterPass);
    ASSERT_EQ(numbers.size() + dropped, size_t(burst));
    for (size_t i = 0; i < numbers.size(); ++i)
        ASSERT_EQ(numbers[i], int(i));
}

// TraceFinalize asks the thread to stop while it is still creating the file: the thread's
// move to "running" must not undo the request, or unload would wait forever.
TEST(TraceFile, StopRequestedWhileTheThreadStartsIsKept)
{
    SimulatedHost host(WithTraceLevel(0x41));   // nothing traced at levels 4 and 5: no allocations
    sim::Machine &machine = host.machine();
    std::atomic<bool> finalized{false};
    std::atomic<bool> stopSeen{false};
    std::atomic<bool> hookDone{false};
    std::thread finalizer;
    std::once_flag once;
    // The hook runs on the trace thread inside its ZwCreateFile of the file (state 0), under
    // the fault injector's lock: the finalizer takes no allocation on its way to the wait.
    machine.faults().FailWhen([&](const sim::FaultPoint &point) {
        if (point.routine != "ZwCreateFile" || point.name.find(u"krvdlc.trc") == std::u16string::npos)
            return false;
        std::call_once(once, [&] {
            EXPECT_EQ(ReadNoFence(&DRIVER_SYMBOL(TraceThreadState)), (ULONG)TRACE_THREAD_STARTING);
            // TraceFinalize waits on the thread object that TraceInitialize keeps.
            EXPECT_TRUE(WaitUntil([] { return ReadAcquire(&DRIVER_SYMBOL(TraceThreadObject)) != nullptr; }));
            finalizer = std::thread([&] {
                sim::BeginThreadContext("finalizer");
                DRIVER_SYMBOL(TraceFinalize)();
                finalized = true;
            });
            stopSeen = WaitUntil([] { return ReadNoFence(&DRIVER_SYMBOL(TraceThreadState)) == TRACE_THREAD_STOP_REQUESTED; });
            hookDone = true;
        });
        return false;
    });
    ASSERT_EQ(host.Load(), STATUS_SUCCESS);
    ASSERT_TRUE(WaitUntil([&] { return hookDone.load(); }));
    EXPECT_TRUE(stopSeen);
    EXPECT_TRUE(WaitUntil([&] { return finalized.load(); }, std::chrono::seconds(20)))
        << "the stop request was lost";
    if (!finalized)   // repeat the request so that the thread, and with it the test, ends
        WriteNoFence(&DRIVER_SYMBOL(TraceThreadState), (ULONG)TRACE_THREAD_STOP_REQUESTED);
    if (finalizer.joinable())
        finalizer.join();
    machine.faults().Clear();

    EXPECT_EQ(ReadNoFence(&DRIVER_SYMBOL(TraceThreadState)), (ULONG)TRACE_THREAD_STOPPED);
    EXPECT_FALSE(ReadNoFence(&DRIVER_SYMBOL(TraceInitialized)));
    EXPECT_TRUE(machine.files().Exists(kTraceFile));
    ASSERT_TRUE(host.Unload());
}

// The file cannot be reopened after a pass while a buffer has just been queued: the thread
// stops by itself, the buffer is never written, and the unload's pool check finds nothing.
TEST(TraceFile, BuffersLeftWhenTheThreadStopsByItselfAreFreed)
{
    SimulatedHost host(WithTraceLevel(4));
    sim::Machine &machine = host.machine();
    machine.clock().SetAutoAdvance(false);
    ASSERT_EQ(host.Load(), STATUS_SUCCESS);
    ASSERT_TRUE(TraceThreadIdle(machine));
    DRIVER_SYMBOL(TraceMessage)(1, "in the current buffer\n");
    // The first line after a pass queues what the buffer held, and the thread starts a
    // pass for it. Its next wait must begin before the clock moves, or it waits 10 s more.
    ASSERT_TRUE(TraceThreadIdle(machine));

    // Allocated now: inside the hook the injector's lock is held, so no allocation there.
    auto *late = static_cast<PTRACE_BUFFER>(KrvAllocatePool(NonPagedPool, sizeof(TRACE_BUFFER)));
    ASSERT_NE(late, nullptr);
    late->MaximumLength = TRACE_BUFFER_TEXT_SIZE;
    late->Length = 17;
    std::memcpy(late->Text, "queued too late.\n", 17);

    // What a producer on another processor does between the drain and the reopen.
    machine.faults().FailWhen(
        [&](const sim::FaultPoint &point) {
            if (point.routine != "ZwCreateFile" || point.name.find(u"krvdlc.trc") == std::u16string::npos)
                return false;
            KIRQL irql;
            AcquireLockAnyIrql(&DRIVER_SYMBOL(TraceQueueLock), &irql);
            InsertTailList(&DRIVER_SYMBOL(TraceQueue), &late->ListEntry);
            WriteNoFence(&DRIVER_SYMBOL(QueueCount), ReadNoFence(&DRIVER_SYMBOL(QueueCount)) + 1);
            ReleaseLockAnyIrql(&DRIVER_SYMBOL(TraceQueueLock), irql);
            return true;
        },
        1);
    machine.clock().Advance(kTenSeconds);
    ASSERT_TRUE(machine.threads().WaitUntilAllEnded());

    EXPECT_EQ(ReadNoFence(&DRIVER_SYMBOL(TraceLevel)), 0x04u);
    EXPECT_FALSE(ReadNoFence(&DRIVER_SYMBOL(TraceInitialized)));
    EXPECT_EQ(ReadNoFence(&DRIVER_SYMBOL(QueueCount)), 0u);
    for (const std::string &line : TraceFileLines(machine))
        EXPECT_TRUE(line != "queued too late.\n" && line != "in the current buffer\n") << line;
    for (const sim::PoolBlock &block : machine.pool().Blocks(sim::PoolTag("Kdlc")))
        EXPECT_NE(block.size, sizeof(TRACE_BUFFER)) << "trace buffer left behind";

    machine.clock().SetAutoAdvance(true);
    const int64_t before = machine.clock().Now();
    ASSERT_TRUE(host.Unload());
    EXPECT_EQ(machine.clock().Now(), before);
}

// Producers at DISPATCH_LEVEL on several processors trace numbered lines while the thread
// writes: each line reaches the file whole and once, or is counted as dropped.
TEST(TraceFileStress, ProducersAtDispatchLevelLoseNoLineButTheDroppedOnes)
{
    SimulatedHost host(WithTraceLevel(0xC4));
    sim::Machine &machine = host.machine();
    ASSERT_EQ(host.Load(), STATUS_SUCCESS);
    // The thread traces the opening of its file; on a full queue those lines would be
    // dropped too, and counted as the producers' own.
    ASSERT_TRUE(WaitUntilFileCreated());

    constexpr int kProducers = 4;
    constexpr int kLines = 2500;
    auto payload = [](int producer, int n) { return std::string(size_t((n * 7 + producer) % 41), char('a' + producer)); };

    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([p, &payload] {
            sim::BeginThreadContext("producer");
            sim::IrqlScope dispatch(DISPATCH_LEVEL);
            char line[96];
            for (int n = 0; n < kLines; ++n) {
                std::snprintf(line, sizeof line, "S%d:%05d:%s\n", p, n, payload(p, n).c_str());
                DRIVER_SYMBOL(TraceMessage)(3, line);
            }
        });
    }
    for (std::thread &t : producers)
        t.join();
    const size_t dropped = CountPrints(machine, kQueueFull);
    ASSERT_TRUE(host.Unload());

    const std::regex producerLine(R"(S(\d):(\d{5}):([a-z]*)\n)");
    std::set<std::pair<int, int>> seen;
    std::map<int, int> lastOf;
    for (const std::string &line : TraceFileLines(machine)) {
        if (line.size() < 2 || line[0] != 'S' || !std::isdigit(static_cast<unsigned char>(line[1])))
            continue;
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, producerLine)) << "torn: " << line;
        const int p = std::stoi(m[1]);
        const int n = std::stoi(m[2]);
        ASSERT_EQ(m[3].str(), payload(p, n)) << "torn: " << line;
        EXPECT_TRUE(seen.insert({p, n}).second) << "doubled: " << line;
        // Buffers are written oldest first: each producer's lines stay in order.
        EXPECT_LT(lastOf.count(p) ? lastOf[p] : -1, n);
        lastOf[p] = n;
    }
    EXPECT_EQ(seen.size() + dropped, size_t(kProducers * kLines));
}

}  // namespace
}  // namespace krvdlc::test
