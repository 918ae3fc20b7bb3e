#pragma once

#include "store/database.h"

// The tables of a store, the same on SQLite and PostgreSQL: the serial pool (its source, the runs
// that took values, the values) and the history (every run and device record). A store has a
// version of its own in velta_schema; a store of version 1 (a pool, before the history) gains the
// history's tables when a later version opens it.
namespace StoreSchema {
constexpr int Version = 2;

// The store's tables checked, or made in an empty store when `create` (PostgreSQL: inside the
// caller's transaction, which holds the store's opening lock). Refused: a database of another
// program, of a later version, or empty where `create` is false (the detail says which).
[[nodiscard]] Result<void> ensure(const Database& db, bool create);

// The store's opening lock, held to the end of the caller's transaction: stations that open one
// PostgreSQL store at once take turns at making its tables and at recovering dead runs. Nothing
// on SQLite, whose BEGIN IMMEDIATE already takes turns.
[[nodiscard]] Result<void> lockForOpening(const Database& db);

// The first key of the advisory locks that tell a PostgreSQL store which runs still run ("VELT").
constexpr int LockClass = 0x56454C54;
} // namespace StoreSchema
