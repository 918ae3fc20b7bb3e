#include "core/io/runtime_error.h"

RuntimeError RuntimeError::of(const Failure& failure) {
    switch (failure.cause) {
    case Failure::Cause::TooLong:
        return {7, QStringLiteral("Out of memory")};
    case Failure::Cause::TooManyLines:
        return {9, QStringLiteral("Subscript out of range")};
    case Failure::Cause::FileNotFound:
        return {53, QStringLiteral("File not found")};
    case Failure::Cause::DeviceIo:
        return {57, QStringLiteral("Device I/O error")};
    case Failure::Cause::DiskFull:
        return {61, QStringLiteral("Disk full")};
    case Failure::Cause::PermissionDenied:
        return {70, QStringLiteral("Permission denied")};
    case Failure::Cause::NotRegularFile:
        return {75, QStringLiteral("Path/File access error")};
    case Failure::Cause::PathNotFound:
        return {76, QStringLiteral("Path not found")};
    case Failure::Cause::AddressInUse:
    case Failure::Cause::Network:
    case Failure::Cause::Usage:
    case Failure::Cause::Exhausted:
    case Failure::Cause::Store:
        break;
    }
    return {5, QStringLiteral("Invalid procedure call or argument")};
}
