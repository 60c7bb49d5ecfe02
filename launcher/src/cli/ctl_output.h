// What vantorctl prints for status, verify and addons list: a few aligned
// lines for people, or one JSON document with --json. Pure functions of the
// state document and the repair plan.
#pragma once

#include "data/instance_owner.h"
#include "update/folder_sync.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace launcher {

// The state document's game, launcher, feed, queue and task members (and
// mode and paths), with the feed's location and who holds the launcher's
// lock, when anybody does.
[[nodiscard]] nlohmann::json statusJson(const nlohmann::json& state, const std::string& feedLocation,
                                        const std::optional<InstanceOwner>& holder, bool lockHeld);
[[nodiscard]] std::string statusText(const nlohmann::json& status);

[[nodiscard]] nlohmann::json verifyJson(const SyncPlan& plan);
[[nodiscard]] std::string verifyText(const SyncPlan& plan);

// The line a repair prints before it downloads.
[[nodiscard]] std::string repairPlanLine(const SyncPlan& plan);

// The state's "addons" member: installed ones, then the catalogue.
[[nodiscard]] nlohmann::json addonsJson(const nlohmann::json& state);
[[nodiscard]] std::string addonsText(const nlohmann::json& state);

// "12.3 MB" (bytes / 1,000,000, one decimal).
[[nodiscard]] std::string megabytes(uint64_t bytes);

}  // namespace launcher
