#include "data/instance_owner.h"

#include "data/json_document.h"
#include "platform/platform.h"

#include <fmt/format.h>

namespace launcher {

namespace fs = std::filesystem;

namespace {

constexpr size_t maxNameLength = 64;

fs::path ownerPath() {
  const fs::path folder = runtimeFolder();
  return folder.empty() ? fs::path() : folder / "launcher.owner";
}

// Names come back into a terminal: printable ASCII words only.
bool isPlainName(const std::string& text) {
  if (text.empty() || text.size() > maxNameLength) return false;
  for (char c : text) {
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_'))
      return false;
  }
  return true;
}

}  // namespace

bool recordInstanceOwner(const std::string& program, const std::string& command) {
  const fs::path file = ownerPath();
  if (file.empty() || !isPlainName(program) || !isPlainName(command)) return false;
  json record = {{"program", program}, {"command", command}, {"pid", currentProcessId()}};
  return writeJsonDocument(file, record);
}

bool readInstanceOwner(InstanceOwner& owner) {
  owner = InstanceOwner{};
  const fs::path file = ownerPath();
  if (file.empty()) return false;
  const json record = readJsonDocument(file);
  if (!record.is_object()) return false;
  auto program = record.find("program");
  auto command = record.find("command");
  auto pid = record.find("pid");
  if (program == record.end() || !program->is_string() || command == record.end() || !command->is_string() ||
      pid == record.end() || !pid->is_number_unsigned()) {
    return false;
  }
  if (!isPlainName(program->get<std::string>()) || !isPlainName(command->get<std::string>())) return false;
  owner.program = program->get<std::string>();
  owner.command = command->get<std::string>();
  owner.processId = pid->get<uint64_t>();
  return true;
}

std::string instanceBusyText() {
  InstanceOwner owner;
  if (!readInstanceOwner(owner)) return "Another launcher of this user is running";
  if (owner.command == "window") {
    return fmt::format("The launcher ({}, process {}) is running: use it, or close it first", owner.program,
                       owner.processId);
  }
  return fmt::format("{} {} (process {}) is running: wait for it to finish, or stop it first", owner.program,
                     owner.command, owner.processId);
}

}  // namespace launcher
