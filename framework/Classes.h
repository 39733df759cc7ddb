// The small object runtime the rest of comfind stands on: exceptions, persistent objects with
// Assign/AssignTo, components with an owner, a name, component states and free notification,
// bound event handlers and string lists.
//
// Everything here is used from the main thread only, unless a comment says otherwise.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

// ---------------------------------------------------------------------------------------------
// Exceptions

// Base of every exception the system raises on purpose; carries the message text (8-bit,
// code page 1251 where it is not plain ASCII).

namespace comfind {

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : FMessage(std::move(message)) {}
  const std::string& Message() const { return FMessage; }
  const char* what() const noexcept override { return FMessage.c_str(); }

 private:
  std::string FMessage;
};

// Raised when a persistent object cannot be assigned to or from another class.
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

// printf-style formatting into a std::string ("Cannot assign a %s to a %s").
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// ---------------------------------------------------------------------------------------------
// Objects

class TObject {
 public:
  virtual ~TObject() = default;
  // The class name as the system spells it ("TComTimeouts"); used in conversion errors.
  virtual std::string ClassName() const { return "TObject"; }
};

// An object whose published state can be copied into another object of the same kind.
// Assign on the destination asks the source's AssignTo; when neither side knows the other's
// class the copy is refused with EConvertError "Cannot assign a <source> to a <destination>".
class TPersistent : public TObject {
 public:
  std::string ClassName() const override { return "TPersistent"; }
  virtual void Assign(const TPersistent* Source);

 protected:
  virtual void AssignTo(TPersistent* Dest) const;

 private:
  [[noreturn]] void AssignError(const TPersistent* Source) const;
};

// ---------------------------------------------------------------------------------------------
// Bound event handlers

// An event handler: code bound to the object it acts on, or empty. Calling an empty handler
// does nothing, so dispatchers need no test of their own.
template <typename... Args>
class TEventHandler {
 public:
  TEventHandler() = default;
  TEventHandler(std::nullptr_t) {}
  template <typename C>
  TEventHandler(C* object, void (C::*method)(Args...))
      : FCode([object, method](Args... args) { (object->*method)(std::forward<Args>(args)...); }) {}
  template <typename F, typename = std::enable_if_t<std::is_invocable_v<F&, Args...>>>
  TEventHandler(F code) : FCode(std::move(code)) {}

  explicit operator bool() const { return static_cast<bool>(FCode); }
  bool Assigned() const { return static_cast<bool>(FCode); }
  void operator()(Args... args) const {
    if (FCode) FCode(std::forward<Args>(args)...);
  }

 private:
  std::function<void(Args...)> FCode;
};

using TNotifyEvent = TEventHandler<TObject*>;

// ---------------------------------------------------------------------------------------------
// Components

enum TComponentStateFlag : uint8_t { csLoading, csDesigning, csDestroying };
enum TOperation : uint8_t { opInsert, opRemove };

// A component has an owner that destroys it, a name, a tag and the states loading (its stored
// values are being read in) and designing. Components that refer to each other ask for a free
// notification and drop the reference in Notification(opRemove). Threads: the thread that
// owns it (the main thread); nothing of it is guarded.
class TComponent : public TPersistent {
 public:
  explicit TComponent(TComponent* AOwner);
  ~TComponent() override;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  std::string ClassName() const override { return "TComponent"; }

  TComponent* Owner() const { return FOwner; }
  const std::string& Name() const { return FName; }
  void SetName(const std::string& Value) { FName = Value; }
  intptr_t Tag = 0;

  bool Loading() const { return FState & (1u << csLoading); }
  bool Designing() const { return FState & (1u << csDesigning); }
  bool IsDestroying() const { return FState & (1u << csDestroying); }
  // Enters the loading state: setters store values without side effects until Loaded().
  void BeginLoading() { FState |= 1u << csLoading; }
  void SetDesigning(bool Value);

  // After-load hook, run once the stored values have been read; the base leaves the loading
  // state. Overrides call the base first.
  virtual void Loaded();

  // Asks AComponent to call this->Notification(AComponent, opRemove) when it is destroyed.
  void FreeNotification(TComponent* AComponent);
  void RemoveFreeNotification(TComponent* AComponent);
  // Told of a component's removal (its destruction) when a free notification was asked for,
  // and of owned components inserted or removed.
  virtual void Notification(TComponent* AComponent, TOperation Operation);

  int ComponentCount() const { return static_cast<int>(FComponents.size()); }
  TComponent* Components(int Index) const { return FComponents[Index]; }

 protected:
  // Enters the destroying state and tells every component that asked for a free notification.
  // A derived class whose subscribers call back into it while it is going away (a port whose
  // linked components unregister themselves) calls this first in its own destructor, while it
  // is still whole; the base destructor calls it otherwise. Runs once.
  void Destroying();

 private:
  void InsertComponent(TComponent* AComponent);
  void RemoveComponent(TComponent* AComponent);

  TComponent* FOwner = nullptr;
  std::string FName;
  uint32_t FState = 0;
  bool FNotified = false;
  std::vector<TComponent*> FComponents;    // owned, destroyed with this component
  std::vector<TComponent*> FFreeNotifies;  // told of this component's destruction
};

// Runs a clean-up at scope exit, also when an exception leaves the scope.
template <typename F>
class TScopeExit {
 public:
  explicit TScopeExit(F Fn) : FFn(std::move(Fn)) {}
  ~TScopeExit() { FFn(); }
  TScopeExit(const TScopeExit&) = delete;
  TScopeExit& operator=(const TScopeExit&) = delete;

 private:
  F FFn;
};

// ---------------------------------------------------------------------------------------------
// Strings

// An ordered list of 8-bit text lines. Also the log the search appends to: OnChange fires after
// every change so a view can follow it, and LastChangeAppended() tells it whether that change
// only added one line at the end (a log that grows all day is then followed line by line,
// without comparing its history). Threads: one at a time (the log: the main thread).
class TStrings : public TPersistent {
 public:
  std::string ClassName() const override { return "TStrings"; }
  int Count() const { return static_cast<int>(FItems.size()); }
  const std::string& operator[](int Index) const { return FItems.at(Index); }
  const std::string& Strings(int Index) const { return FItems.at(Index); }
  int Add(const std::string& S);
  // An index outside 0..Count() inserts at the nearer end.
  void Insert(int Index, const std::string& S);
  // Raises Exception for an index outside the list.
  void Delete(int Index);
  void Clear();
  // Exact, case-sensitive search; -1 when absent.
  int IndexOf(const std::string& S) const;
  // Stable sort with a three-way comparison (<0, 0, >0).
  void Sort(const std::function<int(const std::string&, const std::string&)>& Compare);
  void Assign(const TPersistent* Source) override;
  const std::vector<std::string>& Items() const { return FItems; }
  void SetItems(std::vector<std::string> Items);
  // Inside OnChange: true when the change was one line added at the end (Add, or Insert at
  // Count()), false for any other change.
  bool LastChangeAppended() const { return FLastChangeAppended; }

  TNotifyEvent OnChange;

 private:
  void Changed(bool Appended = false) {
    FLastChangeAppended = Appended;
    OnChange(this);
  }
  std::vector<std::string> FItems;
  bool FLastChangeAppended = false;
};

using TStringList = TStrings;

// ---------------------------------------------------------------------------------------------
// Text helpers

// Upper-cases the ASCII letters a..z only; every other byte (Cyrillic in code page 1251, NUL,
// bytes above 127) is left as it is.
std::string UpperCaseAscii(std::string_view S);
char UpCaseAscii(char C);
// Compares ignoring the case of ASCII letters only: <0, 0, >0 like strcmp (bytes unsigned).
int CompareTextAscii(std::string_view A, std::string_view B);
bool SameTextAscii(std::string_view A, std::string_view B);
// Compares in natural order: runs of digits by their value (ttyUSB2 before ttyUSB10), the rest
// as CompareTextAscii does. Numbers of equal value tell apart by their leading zeros only when
// nothing else does ("a01" after "a1"); names equal but for case compare equal.
int CompareNaturalAscii(std::string_view A, std::string_view B);

// Decodes code page 1251 text to UTF-8. All 256 bytes map to a character; 0x98, the one byte
// the code page leaves unassigned, becomes U+0098 so that nothing is lost.
std::string Cp1251ToUtf8(std::string_view S);
// Encodes UTF-8 text to code page 1251; characters outside it become '?'.
std::string Utf8ToCp1251(std::string_view S);

// A non-visual container of components (the data module of an application).
class TDataModule : public TComponent {
 public:
  using TComponent::TComponent;
  std::string ClassName() const override { return "TDataModule"; }
};

}  // namespace comfind
