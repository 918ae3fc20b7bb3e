#pragma once

// Process exit codes. When devices fail in different ways the smallest non-zero code wins;
// an interrupted run ends with 130 (SIGINT) or 143 (SIGTERM) whatever else happened.
namespace ExitCode {
constexpr int Ok = 0;
constexpr int DeviceError = 1;
constexpr int BadArguments = 2;
constexpr int BadFile = 3;
constexpr int Timeout = 4;
constexpr int NetworkError = 5;
constexpr int LogError = 6;      // the log or the report could not be written
constexpr int Interrupted = 128; // plus the signal's number
} // namespace ExitCode
