// The pure rules that the POSIX layer and the simulated device share: the event objects and the
// wait-any rule, the comm-event wait, and the queue of reads and writes with their timeouts.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "port/os/ComEventCore.h"
#include "port/os/EventTable.h"
#include "port/os/TransferQueue.h"

namespace comfind {

namespace {

using namespace std::chrono_literals;

constexpr uint32_t kInvalid = 87;
constexpr uint32_t kAborted = 995;
constexpr uint32_t kGone = 22;

// --- event objects ---------------------------------------------------------------------------

TEST(EventTable, ResetRulesAndTheLowestSignalledIndexWin) {
  std::vector<std::string> Changes;
  TEventTable T(
      [&](THandle H, bool On) { Changes.push_back(std::to_string(H) + (On ? "+" : "-")); });
  T.Add(1, false, false);  // auto reset
  T.Add(2, true, false);   // manual reset
  T.Add(3, true, true);
  const THandle List[3] = {1, 2, 3};
  struct TStep {
    THandle Set;  // 0: none
    TEventTable::TLook::TKind Kind;
    uint32_t Index;
  };
  // Event 3 starts signalled; 1 and 2 are set in turn and taken lowest index first: the
  // auto-reset one once, the manual ones until reset.
  const TStep Steps[] = {{0, TEventTable::TLook::kSignalled, 2},
                         {2, TEventTable::TLook::kSignalled, 1},
                         {1, TEventTable::TLook::kSignalled, 0},
                         {0, TEventTable::TLook::kSignalled, 1}};
  for (const auto& S : Steps) {
    if (S.Set) T.Set(S.Set);
    const auto Look = T.Look(3, List);
    EXPECT_EQ(Look.Kind, S.Kind);
    EXPECT_EQ(Look.Index, S.Index) << "after setting " << S.Set;
  }
  EXPECT_FALSE(T.Signalled(1));
  EXPECT_TRUE(T.Reset(2));
  EXPECT_TRUE(T.Reset(3));
  EXPECT_EQ(T.Look(3, List).Kind, TEventTable::TLook::kNothing);
  EXPECT_TRUE(T.Set(3));
  EXPECT_TRUE(T.Set(3));  // already set: no second change
  EXPECT_EQ(Changes, (std::vector<std::string>{"3+", "2+", "1+", "1-", "2-", "3-", "3+"}));

  // An unknown handle fails the whole look before anything is taken.
  const THandle WithUnknown[2] = {3, 9};
  EXPECT_EQ(T.Look(2, WithUnknown).Kind, TEventTable::TLook::kUnknownHandle);
  EXPECT_TRUE(T.Signalled(3));
  EXPECT_TRUE(T.Remove(3));
  EXPECT_FALSE(T.Remove(3));
  EXPECT_FALSE(T.Set(3));
}

TEST(EventTable, AFailingHandleEndsTheLookUnlessALowerOneIsSignalled) {
  TEventTable T;
  T.Add(1, true, false);  // stop
  T.Add(2, true, false);  // the record of a wait whose device vanished
  const THandle List[2] = {1, 2};
  const auto Failing = [](THandle H) -> uint32_t { return H == 2 ? kGone : 0; };
  auto Look = T.Look(2, List, Failing);
  EXPECT_EQ(Look.Kind, TEventTable::TLook::kFailed);
  EXPECT_EQ(Look.Error, kGone);
  T.Set(1);
  Look = T.Look(2, List, Failing);
  EXPECT_EQ(Look.Kind, TEventTable::TLook::kSignalled);
  EXPECT_EQ(Look.Index, 0u);
}

// --- the comm-event wait ---------------------------------------------------------------------

class ComEventCore : public ::testing::Test {
 protected:
  // Issues a wait; the result and what it completed at once.
  uint32_t Wait() {
    Done = TComCompletion{};
    EvtMask = 0xDEAD;
    return Core.Wait(&EvtMask, &Record, Done);
  }
  TComEventCore Core{kInvalid, kAborted};
  TOverlapped Record;
  uint32_t EvtMask = 0;
  TComCompletion Done;
};

// Each row starts from a fresh device with mask RXCHAR|CTS and plays one story.
TEST_F(ComEventCore, EventsCompleteTheWaitOrAreRememberedForTheNextOne) {
  struct TCase {
    const char* Story;
    uint32_t RaisedBefore;  // while no wait is pending
    uint32_t RaisedDuring;  // while the wait is pending
    uint32_t WaitResult;
    uint32_t Reported;  // the mask the wait completes with; 0xDEAD: still pending
  };
  const TCase Cases[] = {
      {"nothing", 0, 0, ERROR_IO_PENDING_, 0xDEAD},
      {"outside the mask", EV_DSR_, EV_TXEMPTY_, ERROR_IO_PENDING_, 0xDEAD},
      {"remembered", EV_RXCHAR_ | EV_DSR_, 0, 0, EV_RXCHAR_},
      {"while waiting", 0, EV_CTS_ | EV_RING_, ERROR_IO_PENDING_, EV_CTS_},
  };
  for (const auto& C : Cases) {
    Core = TComEventCore(kInvalid, kAborted);
    TComCompletion Ignored;
    ASSERT_EQ(Core.SetMask(EV_RXCHAR_ | EV_CTS_, Ignored), 0u);
    Core.Raise(C.RaisedBefore, Ignored);
    EXPECT_EQ(Wait(), C.WaitResult) << C.Story;
    TComCompletion During;
    Core.Raise(C.RaisedDuring, During);
    EXPECT_EQ(EvtMask, C.Reported) << C.Story;
    const bool Completed = C.Reported != 0xDEAD;
    EXPECT_EQ(Done.Record || During.Record, Completed) << C.Story;
    EXPECT_EQ(Core.Waiting(), !Completed) << C.Story;
  }
}

TEST_F(ComEventCore, TheMaskEndsAPendingWaitWithZeroAndForgetsWhatWasRemembered) {
  TComCompletion Ended;
  Core.SetMask(EV_RXCHAR_, Ended);
  EXPECT_EQ(Core.SetMask(EV_RXCHAR_, Ended), 0u);
  EXPECT_EQ(Ended.Record, nullptr) << "no wait to end";
  ASSERT_EQ(Wait(), ERROR_IO_PENDING_);
  EXPECT_EQ(Wait(), kInvalid) << "one wait at a time";
  ASSERT_EQ(Core.SetMask(EV_RXCHAR_, Ended), 0u);
  EXPECT_EQ(Ended.Record, &Record);
  EXPECT_EQ(Ended.Status, 0u);
  EXPECT_TRUE(Ended.Signal);
  EXPECT_EQ(EvtMask, 0u);
  Core.Raise(EV_RXCHAR_, Ended);
  Core.SetMask(EV_RXCHAR_, Ended);
  EXPECT_EQ(Wait(), ERROR_IO_PENDING_) << "forgotten by the new mask";
  Core.SetMask(0, Ended);
  EXPECT_EQ(Wait(), kInvalid) << "nothing can end a wait with mask 0";
}

TEST_F(ComEventCore, LineErrorsAccumulateAndRaiseTheirEvents) {
  TComCompletion Ignored;
  Core.SetMask(EV_ERR_ | EV_BREAK_, Ignored);
  const std::pair<uint32_t, uint32_t> Table[] = {{CE_FRAME_, EV_ERR_},    {CE_OVERRUN_, EV_ERR_},
                                                 {CE_RXPARITY_, EV_ERR_}, {CE_BREAK_, EV_BREAK_},
                                                 {CE_RXOVER_, 0},         {CE_TXFULL_, 0}};
  uint32_t All = 0;
  for (const auto& [Error, Event] : Table) {
    ASSERT_EQ(Wait(), ERROR_IO_PENDING_);
    TComCompletion Raised;
    Core.AddLineErrors(Error, Raised);
    EXPECT_EQ(Raised.Record != nullptr, Event != 0) << Error;
    if (Event) {
      EXPECT_EQ(EvtMask, Event) << Error;
    } else {
      Core.SetMask(EV_ERR_ | EV_BREAK_, Ignored);
    }
    All |= Error;
  }
  uint32_t Word = 0;
  EXPECT_EQ(Core.TakeErrors(Word), 0u);
  EXPECT_EQ(Word, All);
  EXPECT_EQ(Core.TakeErrors(Word), 0u);
  EXPECT_EQ(Word, 0u) << "taking clears";
}

TEST_F(ComEventCore, AVanishedDeviceFailsItsWaitUnsignalledAndEveryLaterCall) {
  TComCompletion Ended;
  Core.SetMask(EV_RXCHAR_, Ended);
  ASSERT_EQ(Wait(), ERROR_IO_PENDING_);
  Record.hEvent = 0x40;
  Core.Vanish(kGone, Ended);
  EXPECT_EQ(Ended.Record, &Record);
  EXPECT_EQ(Ended.Status, kGone);
  EXPECT_FALSE(Ended.Signal);
  EXPECT_EQ(Core.FailingWait(0x40), kGone);
  EXPECT_EQ(Core.FailingWait(0x44), 0u);
  EXPECT_EQ(Core.SetMask(EV_RXCHAR_, Ended), kGone);
  uint32_t Word;
  EXPECT_EQ(Core.TakeErrors(Word), kGone);
}

// A port that listens for errors is told of the loss once, whether its wait is pending then
// or comes later: EV_ERR, then CE_IOE from the error word; after that everything fails.
TEST_F(ComEventCore, AVanishedDeviceIsToldOnceAsAnErrorWhenTheMaskAsksForErrors) {
  for (const bool WaitPending : {true, false}) {
    Core = TComEventCore(kInvalid, kAborted);
    TComCompletion Ended;
    Core.SetMask(EV_RXCHAR_ | EV_ERR_, Ended);
    Core.AddLineErrors(CE_FRAME_, Ended);  // remembered: completes the first wait below
    if (WaitPending) {
      ASSERT_EQ(Wait(), 0u);
      ASSERT_EQ(Wait(), ERROR_IO_PENDING_);
    }
    Core.Vanish(kGone, Ended);
    if (WaitPending) {
      EXPECT_EQ(Ended.Record, &Record);
      EXPECT_EQ(Ended.Status, 0u);
      EXPECT_TRUE(Ended.Signal);
    } else {
      EXPECT_EQ(Ended.Record, nullptr);
      EXPECT_EQ(Wait(), 0u) << "the next wait tells it";
    }
    EXPECT_EQ(EvtMask, uint32_t{EV_ERR_});
    EXPECT_EQ(Wait(), kGone) << "told once";
    uint32_t Word = 0;
    EXPECT_EQ(Core.TakeErrors(Word), 0u);
    EXPECT_EQ(Word, uint32_t{CE_IOE_ | CE_FRAME_});
    EXPECT_EQ(Core.TakeErrors(Word), kGone);
  }
}

// The simulated device and the POSIX layer used to disagree here. Windows fails every request
// to a removed device before it looks at the request, so a vanished device answers a second
// wait, or a wait with mask 0, with its own error and not with "invalid parameter".
TEST_F(ComEventCore, AVanishedDeviceRefusesAWaitWithItsErrorWhateverTheWaitAsks) {
  TComCompletion Ended;
  Core.Vanish(kGone, Ended);  // mask 0 and no wait: "invalid parameter" on a live device
  Record.hEvent = 0x48;
  EXPECT_EQ(Wait(), kGone);
  EXPECT_EQ(Done.Record, &Record);
  EXPECT_EQ(Done.Status, kGone);
  EXPECT_FALSE(Done.Signal);
  EXPECT_TRUE(TComEventCore::Accepted(kGone, Done)) << "the record carries the failure";
  EXPECT_EQ(Core.FailingWait(0x48), kGone);
}

// The other disagreement: events that still arrive for a vanished device (bytes drained in the
// same pass that saw the hang-up) are dropped, since no wait can report them any more.
TEST_F(ComEventCore, EventsAfterTheDeviceVanishedAreDropped) {
  TComCompletion Ended;
  Core.SetMask(EV_RXCHAR_, Ended);
  Core.Vanish(kGone, Ended);
  Core.Raise(EV_RXCHAR_, Ended);
  Core.AddLineErrors(CE_FRAME_, Ended);
  EXPECT_EQ(Ended.Record, nullptr);
  EXPECT_EQ(Wait(), kGone);
  EXPECT_NE(EvtMask, uint32_t{EV_RXCHAR_});
}

TEST_F(ComEventCore, ClosingAbortsThePendingWait) {
  TComCompletion Ended;
  Core.SetMask(EV_RXCHAR_, Ended);
  ASSERT_EQ(Wait(), ERROR_IO_PENDING_);
  Core.Close(Ended);
  EXPECT_EQ(Ended.Record, &Record);
  EXPECT_EQ(Ended.Status, kAborted);
  EXPECT_TRUE(Ended.Signal);
  EXPECT_FALSE(Core.Waiting());
}

// --- reads and writes ------------------------------------------------------------------------

constexpr uint32_t kMaxDword = 0xFFFFFFFF;

class TransferQueue : public ::testing::Test {
 protected:
  bool StartRead(const TCommTimeouts& T, uint32_t Count) {
    Buffer.assign(Count, '\0');
    return Q.StartRead(&Record, Buffer.data(), Count, PlanRead(T, Count), Input, T0, Done);
  }
  std::string Got(const TComCompletion& C) const { return Buffer.substr(0, C.Count); }

  TTransferQueue Q{kAborted};
  TOverlapped Record;
  std::string Buffer;
  std::string Input;
  TComCompletion Done;
  const TTransferClock::time_point T0 = TTransferClock::now();
};

// One read of 4 bytes under each of the Win32 timeout modes: what "abc" waiting at the start
// gives, and when the read ends if more never comes.
TEST_F(TransferQueue, ReadsEndAsTheTimeoutsSay) {
  struct TCase {
    const char* Mode;
    TCommTimeouts Timeouts;
    std::string Waiting;
    bool AtOnce;
    std::chrono::milliseconds EndsAfter;  // for a pending read: when Expire ends it
  };
  const TCase Cases[] = {
      {"return at once, nothing there", {kMaxDword, 0, 0, 0, 0}, "", true, 0ms},
      {"return at once", {kMaxDword, 0, 0, 0, 0}, "abc", true, 0ms},
      {"return on any, nothing there", {kMaxDword, kMaxDword, 200, 0, 0}, "", false, 200ms},
      {"return on any", {kMaxDword, kMaxDword, 200, 0, 0}, "ab", true, 0ms},
      {"total", {0, 20, 100, 0, 0}, "ab", false, 180ms},
      {"interval after the last byte", {50, 0, 0, 0, 0}, "ab", false, 50ms},
      {"count reached", {0, 0, 0, 0, 0}, "abcdef", true, 0ms},
  };
  for (const auto& C : Cases) {
    Q = TTransferQueue(kAborted);
    Input = C.Waiting;
    Done = TComCompletion{};
    EXPECT_EQ(StartRead(C.Timeouts, 4), C.AtOnce) << C.Mode;
    if (C.AtOnce) {
      EXPECT_EQ(Done.Status, 0u) << C.Mode;
      EXPECT_EQ(Got(Done), C.Waiting.substr(0, 4)) << C.Mode;
      continue;
    }
    EXPECT_EQ(Q.NextDeadline(), T0 + C.EndsAfter) << C.Mode;
    TTransferQueue::TCompletions Ended;
    Q.Expire(Input, T0 + C.EndsAfter - 1ms, Ended);
    EXPECT_TRUE(Ended.empty()) << C.Mode;
    Q.Expire(Input, T0 + C.EndsAfter, Ended);
    ASSERT_EQ(Ended.size(), 1u) << C.Mode;
    EXPECT_EQ(Ended[0].Status, 0u) << C.Mode << ": a timeout is a success";
    EXPECT_EQ(Got(Ended[0]), C.Waiting) << C.Mode;
  }
}

TEST_F(TransferQueue, AReadWithoutTimeoutsWaitsForItsCountAndTheIntervalRestartsWithEachByte) {
  ASSERT_FALSE(StartRead({0, 0, 0, 0, 0}, 4));
  EXPECT_EQ(Q.NextDeadline(), kNoDeadline);
  TTransferQueue::TCompletions Ended;
  Input = "ab";
  Q.Serve(Input, T0, Ended);
  Input = "cdX";
  Q.Serve(Input, T0, Ended);
  ASSERT_EQ(Ended.size(), 1u);
  EXPECT_EQ(Got(Ended[0]), "abcd");
  EXPECT_EQ(Input, "X") << "only what the read asked for";

  Q = TTransferQueue(kAborted);
  Input.clear();
  ASSERT_FALSE(StartRead({50, 0, 0, 0, 0}, 4));
  EXPECT_EQ(Q.NextDeadline(), kNoDeadline) << "no interval before the first byte";
  Input = "a";
  Ended.clear();
  Q.Serve(Input, T0 + 10ms, Ended);
  EXPECT_EQ(Q.NextDeadline(), T0 + 60ms);
  Input = "b";
  Q.Serve(Input, T0 + 40ms, Ended);
  EXPECT_EQ(Q.NextDeadline(), T0 + 90ms);
}

TEST_F(TransferQueue, ReadsEndInOrderAndAnAbortGivesTheirBytesBack) {
  ASSERT_FALSE(StartRead({0, 0, 0, 0, 0}, 4));
  TOverlapped Second;
  std::string SecondBuffer(2, '\0');
  TComCompletion Ignored;
  EXPECT_FALSE(Q.StartRead(&Second, SecondBuffer.data(), 2, PlanRead({kMaxDword, 0, 0, 0, 0}, 2),
                           Input, T0, Ignored))
      << "behind a pending read even when it could end at once";
  TTransferQueue::TCompletions Ended;
  Input = "ab";
  Q.Serve(Input, T0, Ended);
  EXPECT_TRUE(Ended.empty());
  Input += "z";
  Q.AbortReads(Input, Ended);
  ASSERT_EQ(Ended.size(), 2u);
  EXPECT_EQ(Ended[0].Record, &Record);
  EXPECT_EQ(Ended[0].Status, kAborted);
  EXPECT_EQ(Ended[1].Record, &Second);
  EXPECT_EQ(Input, "abz") << "nothing received is lost";
  EXPECT_FALSE(Q.ReadsPending());
}

TEST_F(TransferQueue, WritesSendWhatTheDeviceTakesInOrderAndEndAtTheirDeadline) {
  std::string Line;
  size_t Room = 3;
  const TTransferQueue::TSink Sink = [&](const char* B, size_t N, uint32_t&) -> int64_t {
    const size_t Took = std::min(N, Room);
    Line.append(B, Took);
    Room -= Took;
    return static_cast<int64_t>(Took);
  };
  TOverlapped First, Second, Third;
  EXPECT_TRUE(Q.StartWrite(&First, "ab", 2, 0, Sink, T0, Done)) << "fits: ends at once";
  EXPECT_EQ(Done.Count, 2u);
  EXPECT_FALSE(Q.StartWrite(&Second, "cdef", 4, 1000, Sink, T0, Done));
  EXPECT_FALSE(Q.StartWrite(&Third, "gh", 2, 0, Sink, T0, Done));
  EXPECT_EQ(Line, "abc");
  EXPECT_EQ(Q.QueuedBytes(), 5u);
  EXPECT_EQ(Q.NextDeadline(), T0 + 1000ms);
  TTransferQueue::TCompletions Ended;
  Room = 1;
  Q.Pump(Sink, Ended);
  EXPECT_TRUE(Ended.empty());
  Q.Expire(Input, T0 + 1000ms, Ended);
  ASSERT_EQ(Ended.size(), 1u);
  EXPECT_EQ(Ended[0].Record, &Second);
  EXPECT_EQ(Ended[0].Status, 0u);
  EXPECT_EQ(Ended[0].Count, 2u) << "a timed-out write reports what went out";
  Room = 100;
  Q.Pump(Sink, Ended);
  ASSERT_EQ(Ended.size(), 2u);
  EXPECT_EQ(Ended[1].Record, &Third);
  EXPECT_EQ(Line, "abcdgh");
}

TEST_F(TransferQueue, ARefusingDeviceFailsTheWriteAndVanishingEndsEverything) {
  const TTransferQueue::TSink Refuse = [](const char*, size_t, uint32_t& Error) -> int64_t {
    Error = kGone;
    return -1;
  };
  TOverlapped W;
  ASSERT_TRUE(Q.StartWrite(&W, "x", 1, 0, Refuse, T0, Done));
  EXPECT_EQ(Done.Status, kGone);

  const TTransferQueue::TSink Stalled = [](const char*, size_t, uint32_t&) -> int64_t { return 0; };
  ASSERT_FALSE(Q.StartWrite(&W, "x", 1, 0, Stalled, T0, Done));
  ASSERT_FALSE(StartRead({0, 0, 0, 0, 0}, 4));
  TTransferQueue::TCompletions Ended;
  Input = "ab";
  Q.Serve(Input, T0, Ended);
  Q.Vanish(kGone, Ended);
  ASSERT_EQ(Ended.size(), 2u);
  EXPECT_EQ(Ended[0].Record, &Record);
  EXPECT_EQ(Ended[0].Status, 0u) << "a read keeps the bytes it has";
  EXPECT_EQ(Got(Ended[0]), "ab");
  EXPECT_EQ(Ended[1].Record, &W);
  EXPECT_EQ(Ended[1].Status, kGone);
  EXPECT_FALSE(Q.ReadsPending() || Q.WritesPending());
}

}  // namespace

}  // namespace comfind
