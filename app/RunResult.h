#pragma once
// The result of a run for scripts and fleet tools: a JSON document
// (docs/result.schema.json) written at the end of a run that found a device,
// and the one line a failed silent run prints on standard error.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "ui/RunRecord.h"

struct RunResult {
  RunRecord record;
  std::int32_t resultCode = 0;
  std::chrono::system_clock::time_point start;
  std::chrono::system_clock::time_point end;
  std::string keptLog;  // absolute path of the kept log; empty when none is kept
};

std::string RunResultJson(const RunResult& result);

// Writes `json` to `path` (replacing a file there); on failure, the reason.
std::optional<std::string> WriteRunResult(const std::string& path, const std::string& json);

// "quillon-upgrade: the upgrade of a processor failed (exit code 7); log kept in /dir/Upgrade-....log";
// a run stopped on request says so.
std::string FailureLine(std::int32_t resultCode, bool stoppedOnRequest, const std::string& keptLog);
