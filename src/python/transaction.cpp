#include "python/transaction.h"

#include <memory>
#include <optional>
#include <thread>

#include "kx/transaction.h"
#include "python/errors.h"

namespace kx::python {

namespace {

// One transaction and whether the program asked for its rollback.
struct Shared {
  std::unique_ptr<TransactionScope> scope;
  bool abortAsked = false;
};

// The outermost open transaction of this thread.
thread_local std::shared_ptr<Shared> current;

class Transaction {
 public:
  Transaction() = default;
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  ~Transaction() {
    // A block left without __exit__ (the program called __enter__ itself): its work is rolled back
    // when that is still safe, on the thread that holds the scope as its innermost one.
    if (!shared_ || !owner_ || !shared_->scope) return;
    if (thread_ != std::this_thread::get_id() || current != shared_ ||
        TransactionScope::Current() != shared_->scope.get()) {
      (void)shared_->scope.release();  // never unwound on another thread, nor out of order
      return;
    }
    current.reset();
    shared_->scope.reset();
  }

  Transaction& Enter() {
    if (state_ != State::New) throw py::value_error("a kx.transaction() can be entered only once");
    state_ = State::Open;
    thread_ = std::this_thread::get_id();
    if (current) {
      shared_ = current;  // joins the outer transaction
      return *this;
    }
    shared_ = std::make_shared<Shared>();
    shared_->scope = std::make_unique<TransactionScope>();
    owner_ = true;
    current = shared_;
    return *this;
  }

  void Abort() {
    Open();
    shared_->abortAsked = true;
    shared_->scope->VoteAbort();
  }

  bool Exit(const py::handle& type) {
    Open();
    state_ = State::Ended;
    const bool raised = !type.is_none();
    if (!owner_) {
      // An exception leaving an inner block rolls back the outer transaction too.
      if (raised) shared_->scope->VoteAbort();
      return false;
    }
    current.reset();
    std::optional<Error> failure;
    bool committed = false;
    {
      py::gil_scoped_release released;
      try {
        if (!raised) committed = shared_->scope->Complete();
        shared_->scope.reset();  // rolls back what was not committed
      } catch (...) {
        failure = TrappedError();
        shared_->scope.reset();
      }
    }
    if (failure) Raise(*failure);
    if (!raised && !committed && !shared_->abortAsked)
      Raise(Error(kComponentError, "kx",
                  "The transaction was rolled back: a call within it failed, so nothing of it was kept"));
    return false;
  }

 private:
  enum class State { New, Open, Ended };

  void Open() const {
    if (state_ != State::Open) throw py::value_error("the kx.transaction() is not open");
    if (thread_ != std::this_thread::get_id())
      throw py::value_error("a kx.transaction() is used only by the thread that entered it");
    if (!shared_->scope) throw py::value_error("the kx.transaction() that this one joined has ended");
    if (owner_ && (current != shared_ || TransactionScope::Current() != shared_->scope.get()))
      throw py::value_error("a kx.transaction() ends after the transactions entered within it");
  }

  State state_ = State::New;
  std::shared_ptr<Shared> shared_;
  bool owner_ = false;
  std::thread::id thread_;
};

}  // namespace

void DefineTransactions(py::module_& module) {
  py::class_<Transaction>(module, "Transaction",
                          "A transaction over the calls this thread makes inside `with kx.transaction():`.")
      .def("__enter__", &Transaction::Enter, py::return_value_policy::reference_internal)
      .def("__exit__",
           [](Transaction& t, py::handle type, py::handle, py::handle) { return t.Exit(type); })
      .def("abort", &Transaction::Abort, "Rolls back everything the transaction did when it ends.");
  module.def(
      "transaction", [] { return std::make_unique<Transaction>(); },
      "A transaction for `with`: the calls this thread makes inside the block run in one transaction, "
      "committed when the block ends normally, rolled back by an exception leaving it or by abort().");
}

}  // namespace kx::python
