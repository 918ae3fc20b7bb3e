#pragma once

#include "core/io/result.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QVariantList>

#include <memory>

// Where a store lives: an SQLite file (one station) or a PostgreSQL database (several stations),
// named by a connection URL as PostgreSQL's own clients take it:
//   postgresql://[user[:password]@][host][:port][/database][?key=value&...]
// The keys are libpq's (host=/run/pg for a socket folder, sslmode, connect_timeout...). A
// password is best left to the environment (PGPASSWORD) or ~/.pgpass, which libpq reads itself.
struct StoreLocation {
    enum class Kind { Sqlite, Postgres };
    Kind kind = Kind::Sqlite;
    QString path; // SQLite: the file
    QString host, user, password, database;
    int port = -1;
    QStringList options; // libpq's key='value', quoted

    // A PostgreSQL URL, or else a file's path. Refused: a URL that does not parse.
    [[nodiscard]] static Result<StoreLocation> parse(const QString& text);
    [[nodiscard]] bool isPostgres() const { return kind == Kind::Postgres; }
    // For messages and the spool's name: the file, or the URL without its password.
    [[nodiscard]] QString shown() const;
};

// "postgresql://..." or "postgres://...": a database server rather than a file.
[[nodiscard]] bool isDatabaseUrl(const QString& text);

// A store's name as given, fit for a message: a URL without the password it may hold.
[[nodiscard]] QString storeShown(const QString& text);

// One connection to a store through Qt SQL (QSQLITE or QPSQL), named after no one else's: the few
// places where the two engines speak differently are here, the tables and statements are shared.
// A connection belongs to the thread that opened it.
class Database {
public:
    // How long an SQLite connection waits for another process's transaction; a PostgreSQL
    // connection waits this long to connect.
    static constexpr int DefaultBusyTimeoutMs = 30000;

    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // A connection; for a file, one that is not a database (or a folder, a FIFO) fails here.
    [[nodiscard]] static Result<std::unique_ptr<Database>> open(const StoreLocation& where,
                                                                int busyTimeoutMs = DefaultBusyTimeoutMs);

    [[nodiscard]] bool postgres() const { return m_where.isPostgres(); }
    [[nodiscard]] const StoreLocation& location() const { return m_where; }
    [[nodiscard]] QString shown() const { return m_where.shown(); }

    // One statement with its values bound in order (? placeholders).
    [[nodiscard]] Result<QSqlQuery> exec(const QString& sql, const QVariantList& values = {}) const;
    // `body` in one transaction, rolled back on any failure. SQLite takes its write lock first
    // (BEGIN IMMEDIATE), so two processes take turns instead of one failing at its first write;
    // on PostgreSQL the body locks what it changes (FOR UPDATE, an advisory lock).
    template <typename Body> Result<void> transaction(Body&& body) const {
        if (auto began = exec(postgres() ? QStringLiteral("BEGIN") : QStringLiteral("BEGIN IMMEDIATE"));
            !began)
            return began.failure();
        Result<void> done = body();
        if (done) {
            auto committed = exec(QStringLiteral("COMMIT"));
            if (committed)
                return success();
            done = committed.failure();
        }
        (void)exec(QStringLiteral("ROLLBACK"));
        return done;
    }
    // The tables of the store (of the connection's schema on PostgreSQL), read before anything
    // is written, so that another program's database is refused as it is.
    [[nodiscard]] Result<QStringList> tables() const;
    // A statement's words in this engine's dialect: " FOR UPDATE" where rows are locked, nothing
    // on SQLite (whose BEGIN IMMEDIATE locks the whole file).
    [[nodiscard]] QString forUpdate() const;
    // Whether the connection still answers; one that does not (the server restarted, the network
    // went) is opened again. Failure: the store cannot be reached now.
    [[nodiscard]] Result<void> reconnect();

private:
    Database(StoreLocation where, QString connection, int busyTimeoutMs);
    [[nodiscard]] QSqlDatabase handle() const;
    [[nodiscard]] static Result<void> connect(const StoreLocation& where, const QString& name,
                                              int busyTimeoutMs);

    StoreLocation m_where;
    QString m_connection;
    int m_busyTimeoutMs;
};

// The failure of a statement or a connection, in words, without the store's name (the caller
// says which store): a busy SQLite file is said as such.
[[nodiscard]] Failure storeFailure(const QSqlError& error);
