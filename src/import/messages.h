// The import screen's message table: every text the screen and the run show, by key.
#pragma once

#include <string>
#include <vector>

#include "host/messages.h"

namespace zeb::import {

// The table's lines, "key|text", in their stored order.
const std::vector<std::string>& messageLines();

// A table holding those lines, for phases that run without a screen.
const host::TMessages& defaultMessages();

}  // namespace zeb::import
