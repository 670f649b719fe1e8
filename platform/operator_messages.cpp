#include "platform/operator_messages.h"

#include <cstdio>
#include <mutex>

namespace corvane {
namespace {

std::mutex& HandlerMutex() {
  static std::mutex mutex;
  return mutex;
}

OperatorMessageHandler& Handler() {
  static OperatorMessageHandler handler;
  return handler;
}

}  // namespace

OperatorMessageHandler SetOperatorMessageHandler(OperatorMessageHandler handler) {
  std::lock_guard<std::mutex> lock(HandlerMutex());
  OperatorMessageHandler old = std::move(Handler());
  Handler() = std::move(handler);
  return old;
}

void ShowOperatorMessage(const std::string& text) {
  std::lock_guard<std::mutex> lock(HandlerMutex());
  if (Handler()) {
    Handler()(text);
  } else {
    std::fprintf(stderr, "%s\n", text.c_str());
  }
}

}  // namespace corvane
