// Where a request's reply goes: a callback that is moved, never copied, and called once.
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

#include "http/reply.h"

// Called on whichever thread the reply is ready on. Calling it empties it, so that a request
// answered twice shows as a call of an empty callback rather than as a second reply on the wire.
// A job that must be copyable (std::function) holds it through a shared_ptr.
class ReplyCallback {
 public:
  ReplyCallback() = default;
  template <typename Function,
            typename = std::enable_if_t<!std::is_same<std::decay_t<Function>, ReplyCallback>::value>>
  ReplyCallback(Function function)  // implicit, so that a lambda converts as it would to std::function
      : call_(std::make_unique<Holder<Function>>(std::move(function))) {}
  ReplyCallback(ReplyCallback&&) = default;
  ReplyCallback& operator=(ReplyCallback&&) = default;
  ReplyCallback(const ReplyCallback&) = delete;
  ReplyCallback& operator=(const ReplyCallback&) = delete;

  void operator()(Reply reply) {
    const std::unique_ptr<Callable> call = std::move(call_);
    call->invoke(std::move(reply));
  }
  explicit operator bool() const { return call_ != nullptr; }

 private:
  struct Callable {
    virtual ~Callable() = default;
    virtual void invoke(Reply reply) = 0;
  };
  template <typename Function>
  struct Holder : Callable {
    explicit Holder(Function f) : function(std::move(f)) {}
    void invoke(Reply reply) override { function(std::move(reply)); }
    Function function;
  };

  std::unique_ptr<Callable> call_;
};
