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
  std::vector<std::string> log;
  auto* owner = new TProbe(nullptr, "owner", &log);
  auto* a = new TProbe(owner, "a", &log);
  auto* b = new TProbe(owner, "b", &log);
  ASSERT_EQ(owner->ComponentCount(), 2);
  EXPECT_EQ(owner->Components(0), a);
  EXPECT_EQ(a->Owner(), owner);
  EXPECT_EQ(owner->FInserted, (std::vector<TComponent*>{a, b}));
  EXPECT_TRUE(log.empty());

  // A component destroyed on its own leaves its owner's list and tells the owner.
  log.clear();
  delete a;
  ASSERT_EQ(owner->ComponentCount(), 1);
  EXPECT_EQ(owner->Components(0), b);
  EXPECT_EQ(log, (std::vector<std::string>{"destroy a", "owner remove a"}));

  // The owner takes the rest with it, and does not report them as removed one by one.
  log.clear();
  delete owner;
  EXPECT_EQ(log, (std::vector<std::string>{"destroy owner", "destroy b"}));
}

TEST(ComponentTest, FreeNotificationWorksBothWaysAndCanBeWithdrawn) {
  std::vector<std::string> log;
  {
    auto* a = new TProbe(nullptr, "a", &log);
    auto* b = new TProbe(nullptr, "b", &log);
    a->FPeer = b;
    a->FreeNotification(b);
    delete b;
    EXPECT_EQ(a->FPeer, nullptr);
    EXPECT_EQ(log, (std::vector<std::string>{"destroy b", "a remove b"}));
    delete a;
  }
  {
    log.clear();
    auto* a = new TProbe(nullptr, "a", &log);
    auto* b = new TProbe(nullptr, "b", &log);
    a->FreeNotification(b);
    delete a;  // the one who asked goes first: the other side is told as well
    EXPECT_EQ(log, (std::vector<std::string>{"destroy a", "b remove a"}));
    log.clear();
    delete b;  // and holds no dangling entry (ASan would see it)
    EXPECT_EQ(log, (std::vector<std::string>{"destroy b"}));
  }
  {
    log.clear();
    auto* a = new TProbe(nullptr, "a", &log);
    auto* b = new TProbe(nullptr, "b", &log);
    a->FreeNotification(b);
    a->FreeNotification(b);  // asked twice, told once
    b->RemoveFreeNotification(a);
    delete b;
    delete a;
    EXPECT_EQ(log, (std::vector<std::string>{"destroy b", "destroy a"}));
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
  auto publisher = std::make_unique<TPublisher>(nullptr);
  TSubscriber s1(nullptr), s2(nullptr);
  s1.FPublisher = publisher.get();
  s2.FPublisher = publisher.get();
  publisher->Subscribe(&s1);
  publisher->Subscribe(&s2);
  publisher.reset();
  EXPECT_EQ(s1.FToldCount, 1);  // told once, although the base destructor runs after
  EXPECT_EQ(s2.FToldCount, 1);
  EXPECT_TRUE(s1.FSawDestroying);
  EXPECT_TRUE(s2.FSawDestroying);
  EXPECT_EQ(s1.FPublisher, nullptr);
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
  TLoadable c(nullptr);
  EXPECT_FALSE(c.Loading());
  c.BeginLoading();
  c.SetDesigning(true);
  EXPECT_TRUE(c.Loading());
  EXPECT_TRUE(c.Designing());
  c.Loaded();
  EXPECT_EQ(c.FLoadedCalls, 1);
  EXPECT_FALSE(c.FWasLoadingAfterBase);
  EXPECT_FALSE(c.Loading());
  EXPECT_TRUE(c.Designing());
  c.SetDesigning(false);
  EXPECT_FALSE(c.Designing());
  EXPECT_FALSE(c.IsDestroying());
}

// --- Assign / AssignTo

class TPoint : public TPersistent {
 public:
  std::string ClassName() const override { return "TPoint"; }
  void Assign(const TPersistent* Source) override {
    if (auto* p = dynamic_cast<const TPoint*>(Source)) {
      X = p->X;
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
    if (auto* p = dynamic_cast<TPoint*>(Dest)) {
      p->X = Dx;
      return;
    }
    TPersistent::AssignTo(Dest);
  }
};

std::string AssignMessage(TPersistent& Dest, const TPersistent* Source) {
  try {
    Dest.Assign(Source);
  } catch (const EConvertError& e) {
    return e.Message();
  }
  return "(no error)";
}

TEST(PersistentTest, AssignAsksTheSourceAndRefusesUnknownPairsWithTheExactText) {
  TPoint p;
  TPoint q;
  q.X = 3;
  p.Assign(&q);
  EXPECT_EQ(p.X, 3);

  TVector v;
  v.Dx = 9;
  p.Assign(&v);  // through the source's AssignTo
  EXPECT_EQ(p.X, 9);

  EXPECT_EQ(AssignMessage(v, &p), "Cannot assign a TPoint to a TVector");
  EXPECT_EQ(AssignMessage(v, nullptr), "Cannot assign a nil to a TVector");
  TStrings list;
  EXPECT_EQ(AssignMessage(list, &v), "Cannot assign a TVector to a TStrings");
  EXPECT_EQ(AssignMessage(p, &list), "Cannot assign a TStrings to a TPoint");
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
  TNotifyEvent empty;
  EXPECT_FALSE(empty.Assigned());
  EXPECT_NO_THROW(empty(nullptr));
  TNotifyEvent cleared = nullptr;
  EXPECT_FALSE(static_cast<bool>(cleared));

  TTarget target;
  TObject sender;
  TNotifyEvent bound(&target, &TTarget::Hit);
  EXPECT_TRUE(bound.Assigned());
  bound(&sender);
  EXPECT_EQ(target.FHits, 1);
  EXPECT_EQ(target.FSender, &sender);

  int calls = 0;
  TEventHandler<int, const std::string&> lambda = [&](int n, const std::string& s) {
    calls += n + static_cast<int>(s.size());
  };
  lambda(2, "abc");
  EXPECT_EQ(calls, 5);
}

// --- string lists

TEST(StringsTest, EditingSearchingSortingAndChangeEvents) {
  TStrings list;
  int changes = 0;
  list.OnChange = [&](TObject* Sender) {
    EXPECT_EQ(Sender, &list);
    ++changes;
  };
  list.Clear();  // nothing to clear: no change
  EXPECT_EQ(changes, 0);
  EXPECT_EQ(list.Add("b"), 0);
  EXPECT_EQ(list.Add("a"), 1);
  list.Insert(0, "c");
  list.Insert(99, "z");  // past the end: appended
  list.Insert(-5, "y");  // before the start: first
  EXPECT_EQ(list.Items(), (std::vector<std::string>{"y", "c", "b", "a", "z"}));
  EXPECT_EQ(changes, 5);
  EXPECT_EQ(list.IndexOf("a"), 3);
  EXPECT_EQ(list.IndexOf("A"), -1);  // exact match only
  list.Delete(0);
  EXPECT_EQ(list[0], "c");
  EXPECT_THROW(list.Delete(4), Exception);
  EXPECT_THROW(list.Delete(-1), Exception);
  EXPECT_EQ(list.Count(), 4);

  // Stable: equal keys keep their order.
  list.SetItems({"b2", "a1", "b1", "a2"});
  list.Sort([](const std::string& x, const std::string& y) { return int(x[0]) - int(y[0]); });
  EXPECT_EQ(list.Items(), (std::vector<std::string>{"a1", "a2", "b2", "b1"}));

  TStrings copy;
  copy.Add("old");
  copy.Assign(&list);
  EXPECT_EQ(copy.Items(), list.Items());
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(copy.Count(), 4);  // a copy, not a view

  // NUL bytes are characters like any other.
  const std::string withNul("a\0b", 3);
  copy.Add(withNul);
  EXPECT_EQ(copy.IndexOf(withNul), 4);
  EXPECT_EQ(copy.Strings(4).size(), 3u);
}

}  // namespace

}  // namespace comfind
