// What clean and history share: a removal as a JSON object.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "standin_host/history/History.h"

namespace nubra::cli {

nlohmann::json RemovalJson(const std::string& folder, const history::Removal& r);

}  // namespace nubra::cli
