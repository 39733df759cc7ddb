// The object runtime: components and their owners, free notification, loading, Assign,
// event handlers and string lists.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "framework/Classes.h"

namespace comfind {

namespace {

// Records every notification it receives and its own destruction.
class TProbe : public TComponent {
 public:
  TProbe(TComponent* AOwner, std::string AName, std::vector<std::string>* ALog)
      : TComponent(AOwner), FLog(ALog) {
    SetName(AName);
  }
  ~TProbe() override { FLog->push_back("destroy " + Name()); }
  std::string ClassName() const override { return "TProbe"; }

  void Notification(TComponent* AComponent, TOperation Operation) override {
    TComponent::Notification(AComponent, Operation);
    // An inserted component is told about from inside its constructor, before it has a name.
    if (Operation == opInsert) {
      FInserted.push_back(AComponent);
      return;
    }
    FLog->push_back(Name() + " remove " + AComponent->Name());
    if (Operation == opRemove && AComponent == FPeer) FPeer = nullptr;
  }

  TComponent* FPeer = nullptr;
  std::vector<TComponent*> FInserted;

 private:
  std::vector<std::string>* FLog;
};

TEST(ComponentTest, OwnerDestroysOwnedComponentsAndIsToldOfInsertAndRemove) {
  std::vector<std::string> Log;
  auto* Owner = new TProbe(nullptr, "owner", &Log);
  auto* A = new TProbe(Owner, "a", &Log);
  auto* B = new TProbe(Owner, "b", &Log);
  ASSERT_EQ(Owner->ComponentCount(), 2);
  EXPECT_EQ(Owner->Components(0), A);
  EXPECT_EQ(A->Owner(), Owner);
  EXPECT_EQ(Owner->FInserted, (std::vector<TComponent*>{A, B}));
  EXPECT_TRUE(Log.empty());

  // A component destroyed on its own leaves its owner's list and tells the owner.
  Log.clear();
  delete A;
  ASSERT_EQ(Owner->ComponentCount(), 1);
  EXPECT_EQ(Owner->Components(0), B);
  EXPECT_EQ(Log, (std::vector<std::string>{"destroy a", "owner remove a"}));

  // The owner takes the rest with it, and does not report them as removed one by one.
  Log.clear();
  delete Owner;
  EXPECT_EQ(Log, (std::vector<std::string>{"destroy owner", "destroy b"}));
}

TEST(ComponentTest, FreeNotificationWorksBothWaysAndCanBeWithdrawn) {
  std::vector<std::string> Log;
  {
    auto* A = new TProbe(nullptr, "a", &Log);
    auto* B = new TProbe(nullptr, "b", &Log);
    A->FPeer = B;
    A->FreeNotification(B);
    delete B;
    EXPECT_EQ(A->FPeer, nullptr);
    EXPECT_EQ(Log, (std::vector<std::string>{"destroy b", "a remove b"}));
    delete A;
  }
  {
    Log.clear();
    auto* A = new TProbe(nullptr, "a", &Log);
    auto* B = new TProbe(nullptr, "b", &Log);
    A->FreeNotification(B);
    delete A;  // the one who asked goes first: the other side is told as well
    EXPECT_EQ(Log, (std::vector<std::string>{"destroy a", "b remove a"}));
    Log.clear();
    delete B;  // and holds no dangling entry (ASan would see it)
    EXPECT_EQ(Log, (std::vector<std::string>{"destroy b"}));
  }
  {
    Log.clear();
    auto* A = new TProbe(nullptr, "a", &Log);
    auto* B = new TProbe(nullptr, "b", &Log);
    A->FreeNotification(B);
    A->FreeNotification(B);  // asked twice, told once
    B->RemoveFreeNotification(A);
    delete B;
    delete A;
    EXPECT_EQ(Log, (std::vector<std::string>{"destroy b", "destroy a"}));
  }
}

// A component whose subscribers call back into it while it goes away, as a port's linked
// components unregister themselves: it calls Destroying() first, while it is still whole.
class TPublisher : public TComponent {
 public:
  using TComponent::TComponent;
  ~TPublisher() override {
    Destroying();
    FSubscribers.clear();
  }
  void Subscribe(TComponent* C) {
    FSubscribers.push_back(C);
    FreeNotification(C);
  }
  void Unsubscribe(TComponent* C) {
    std::erase(FSubscribers, C);
    ++FUnsubscribes;
  }
  std::vector<TComponent*> FSubscribers;
  int FUnsubscribes = 0;
};

class TSubscriber : public TComponent {
 public:
  using TComponent::TComponent;
  void Notification(TComponent* AComponent, TOperation Operation) override {
    if (Operation != opRemove || AComponent != FPublisher) return;
    ++FToldCount;
    FSawDestroying = FPublisher->IsDestroying();
    // Calls into the publisher's own members, which must still exist.
    FPublisher->Unsubscribe(this);
    FPublisher = nullptr;
  }
  TPublisher* FPublisher = nullptr;
  int FToldCount = 0;
  bool FSawDestroying = false;
};

TEST(ComponentTest, EarlyDestroyingLetsSubscribersCallBackIntoTheWholeObject) {
  auto Publisher = std::make_unique<TPublisher>(nullptr);
  TSubscriber S1(nullptr), S2(nullptr);
  S1.FPublisher = Publisher.get();
  S2.FPublisher = Publisher.get();
  Publisher->Subscribe(&S1);
  Publisher->Subscribe(&S2);
  Publisher.reset();
  EXPECT_EQ(S1.FToldCount, 1);  // told once, although the base destructor runs after
  EXPECT_EQ(S2.FToldCount, 1);
  EXPECT_TRUE(S1.FSawDestroying);
  EXPECT_TRUE(S2.FSawDestroying);
  EXPECT_EQ(S1.FPublisher, nullptr);
}

class TLoadable : public TComponent {
 public:
  using TComponent::TComponent;
  void Loaded() override {
    TComponent::Loaded();
    FWasLoadingAfterBase = Loading();
    ++FLoadedCalls;
  }
  bool FWasLoadingAfterBase = true;
  int FLoadedCalls = 0;
};

TEST(ComponentTest, LoadedLeavesTheLoadingStateAndDesigningIsIndependent) {
  TLoadable C(nullptr);
  EXPECT_FALSE(C.Loading());
  C.BeginLoading();
  C.SetDesigning(true);
  EXPECT_TRUE(C.Loading());
  EXPECT_TRUE(C.Designing());
  C.Loaded();
  EXPECT_EQ(C.FLoadedCalls, 1);
  EXPECT_FALSE(C.FWasLoadingAfterBase);
  EXPECT_FALSE(C.Loading());
  EXPECT_TRUE(C.Designing());
  C.SetDesigning(false);
  EXPECT_FALSE(C.Designing());
  EXPECT_FALSE(C.IsDestroying());
}

// --- Assign / AssignTo

class TPoint : public TPersistent {
 public:
  std::string ClassName() const override { return "TPoint"; }
  void Assign(const TPersistent* Source) override {
    if (auto* P = dynamic_cast<const TPoint*>(Source)) {
      X = P->X;
      return;
    }
    TPersistent::Assign(Source);
  }
  int X = 0;
};

// Knows how to copy itself into a TPoint, but TPoint does not know it.
class TVector : public TPersistent {
 public:
  std::string ClassName() const override { return "TVector"; }
  int Dx = 0;

 protected:
  void AssignTo(TPersistent* Dest) const override {
    if (auto* P = dynamic_cast<TPoint*>(Dest)) {
      P->X = Dx;
      return;
    }
    TPersistent::AssignTo(Dest);
  }
};

std::string AssignMessage(TPersistent& Dest, const TPersistent* Source) {
  try {
    Dest.Assign(Source);
  } catch (const EConvertError& E) {
    return E.Message();
  }
  return "(no error)";
}

TEST(PersistentTest, AssignAsksTheSourceAndRefusesUnknownPairsWithTheExactText) {
  TPoint P;
  TPoint Q;
  Q.X = 3;
  P.Assign(&Q);
  EXPECT_EQ(P.X, 3);

  TVector V;
  V.Dx = 9;
  P.Assign(&V);  // through the source's AssignTo
  EXPECT_EQ(P.X, 9);

  EXPECT_EQ(AssignMessage(V, &P), "Cannot assign a TPoint to a TVector");
  EXPECT_EQ(AssignMessage(V, nullptr), "Cannot assign a nil to a TVector");
  TStrings List;
  EXPECT_EQ(AssignMessage(List, &V), "Cannot assign a TVector to a TStrings");
  EXPECT_EQ(AssignMessage(P, &List), "Cannot assign a TStrings to a TPoint");
  EXPECT_EQ(Format("%s=%d", "x", 5), "x=5");
}

// --- event handlers

class TTarget {
 public:
  void Hit(TObject* Sender) {
    ++FHits;
    FSender = Sender;
  }
  int FHits = 0;
  TObject* FSender = nullptr;
};

TEST(EventHandlerTest, EmptyHandlerIsSkippedAndBoundOnesReachTheirObject) {
  TNotifyEvent Empty;
  EXPECT_FALSE(Empty.Assigned());
  EXPECT_NO_THROW(Empty(nullptr));
  TNotifyEvent Cleared = nullptr;
  EXPECT_FALSE(static_cast<bool>(Cleared));

  TTarget Target;
  TObject Sender;
  TNotifyEvent Bound(&Target, &TTarget::Hit);
  EXPECT_TRUE(Bound.Assigned());
  Bound(&Sender);
  EXPECT_EQ(Target.FHits, 1);
  EXPECT_EQ(Target.FSender, &Sender);

  int Calls = 0;
  TEventHandler<int, const std::string&> Lambda = [&](int n, const std::string& s) {
    Calls += n + static_cast<int>(s.size());
  };
  Lambda(2, "abc");
  EXPECT_EQ(Calls, 5);
}

// --- string lists

TEST(StringsTest, EditingSearchingSortingAndChangeEvents) {
  TStrings List;
  int Changes = 0;
  List.OnChange = [&](TObject* Sender) {
    EXPECT_EQ(Sender, &List);
    ++Changes;
  };
  List.Clear();  // nothing to clear: no change
  EXPECT_EQ(Changes, 0);
  EXPECT_EQ(List.Add("b"), 0);
  EXPECT_EQ(List.Add("a"), 1);
  List.Insert(0, "c");
  List.Insert(99, "z");  // past the end: appended
  List.Insert(-5, "y");  // before the start: first
  EXPECT_EQ(List.Items(), (std::vector<std::string>{"y", "c", "b", "a", "z"}));
  EXPECT_EQ(Changes, 5);
  EXPECT_EQ(List.IndexOf("a"), 3);
  EXPECT_EQ(List.IndexOf("A"), -1);  // exact match only
  List.Delete(0);
  EXPECT_EQ(List[0], "c");
  EXPECT_THROW(List.Delete(4), Exception);
  EXPECT_THROW(List.Delete(-1), Exception);
  EXPECT_EQ(List.Count(), 4);

  // Stable: equal keys keep their order.
  List.SetItems({"b2", "a1", "b1", "a2"});
  List.Sort([](const std::string& x, const std::string& y) { return int(x[0]) - int(y[0]); });
  EXPECT_EQ(List.Items(), (std::vector<std::string>{"a1", "a2", "b2", "b1"}));

  TStrings Copy;
  Copy.Add("old");
  Copy.Assign(&List);
  EXPECT_EQ(Copy.Items(), List.Items());
  List.Clear();
  EXPECT_EQ(List.Count(), 0);
  EXPECT_EQ(Copy.Count(), 4);  // a copy, not a view

  // NUL bytes are characters like any other.
  const std::string WithNul("a\0b", 3);
  Copy.Add(WithNul);
  EXPECT_EQ(Copy.IndexOf(WithNul), 4);
  EXPECT_EQ(Copy.Strings(4).size(), 3u);
}

}  // namespace

}  // namespace comfind
