#include "operator_question.h"

#include <utility>

namespace {
YesNoQuestion& Handler() {
  static YesNoQuestion handler;
  return handler;
}
}  // namespace

void SetYesNoQuestion(YesNoQuestion handler) {
  Handler() = std::move(handler);
}

bool AskOperatorYesNo(const OperatorQuestion& question) {
  return Handler() ? Handler()(question) : false;
}
