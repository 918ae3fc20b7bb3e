#include "store/database.h"

#include <QRegularExpression>
#include <QSqlError>
#include <QUrl>
#include <QUrlQuery>
#include <QVariant>

#include <atomic>

namespace {

// libpq's quoting of a value in a connection string: in single quotes, ' and \ escaped.
QString quoted(QString value) {
    value.replace(QLatin1String("\\"), QLatin1String("\\\\"));
    value.replace(QLatin1String("'"), QLatin1String("\\'"));
    return QLatin1Char('\'') + value + QLatin1Char('\'');
}

void forget(const QString& name) {
    QSqlDatabase::database(name, false).close();
    QSqlDatabase::removeDatabase(name);
}

} // namespace

bool isDatabaseUrl(const QString& text) {
    return text.startsWith(QLatin1String("postgresql://")) || text.startsWith(QLatin1String("postgres://"));
}

QString storeShown(const QString& text) {
    if (!isDatabaseUrl(text))
        return text;
    static const QRegularExpression password(QStringLiteral("^([a-z]+://[^:/@]*):[^@/]*@"));
    static const QRegularExpression keyword(QStringLiteral("([?&]password=)[^&]*"));
    return QString(text).replace(password, QStringLiteral("\\1@")).replace(keyword, QStringLiteral("\\1..."));
}

Result<StoreLocation> StoreLocation::parse(const QString& text) {
    StoreLocation where;
    if (!isDatabaseUrl(text)) {
        where.path = text;
        return where;
    }
    const auto refused = [&](const QString& why) {
        return Failure{Failure::Cause::Usage,
                       QStringLiteral("%1 is not a PostgreSQL URL: %2").arg(storeShown(text), why)};
    };
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid())
        return refused(url.errorString());
    if (url.hasFragment())
        return refused(QStringLiteral("it has a fragment (#...)"));
    where.kind = Kind::Postgres;
    where.host = url.host(QUrl::FullyDecoded);
    where.port = url.port(-1);
    where.user = url.userName(QUrl::FullyDecoded);
    where.password = url.password(QUrl::FullyDecoded);
    where.database = url.path(QUrl::FullyDecoded).mid(1);
    if (where.database.contains(QLatin1Char('/')))
        return refused(QStringLiteral("a database name has no '/'"));
    static const QRegularExpression keyword(QStringLiteral("^[a-z_]+$"));
    bool timeout = false;
    for (const auto& [key, value] : QUrlQuery(url).queryItems(QUrl::FullyDecoded)) {
        if (!keyword.match(key).hasMatch())
            return refused(QStringLiteral("'%1' is no connection keyword").arg(key));
        timeout = timeout || key == QLatin1String("connect_timeout");
        where.options << key + QLatin1Char('=') + quoted(value);
    }
    // A server that does not answer at all (a host that drops the packets) is given up in
    // seconds, not after the system's minutes.
    if (!timeout)
        where.options << QStringLiteral("connect_timeout=10");
    return where;
}

QString StoreLocation::shown() const {
    if (!isPostgres())
        return path;
    QString url = QStringLiteral("postgresql://");
    if (!user.isEmpty())
        url += QString::fromUtf8(QUrl::toPercentEncoding(user)) + QLatin1Char('@');
    url += host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
    if (port >= 0)
        url += QLatin1Char(':') + QString::number(port);
    url += QLatin1Char('/') + database;
    QStringList query;
    for (const QString& option : options) {
        if (!option.startsWith(QLatin1String("password=")) && option != QLatin1String("connect_timeout=10"))
            query << QString(option).remove(QLatin1Char('\''));
    }
    return url + (query.isEmpty() ? QString() : QLatin1Char('?') + query.join(QLatin1Char('&')));
}

Failure storeFailure(const QSqlError& error) {
    // SQLITE_BUSY and SQLITE_LOCKED: the other process kept the file past the busy time-out.
    const bool busy =
        error.nativeErrorCode() == QLatin1String("5") || error.nativeErrorCode() == QLatin1String("6");
    // libpq's messages run over lines and tabs; a message here is one line.
    const QString text = error.text().simplified();
    return Failure{Failure::Cause::Store,
                   busy ? QStringLiteral("the store stayed busy in another process past the time-out")
                        : text};
}

Database::Database(StoreLocation where, QString connection, int busyTimeoutMs)
    : m_where(std::move(where)), m_connection(std::move(connection)), m_busyTimeoutMs(busyTimeoutMs) {}

Database::~Database() {
    forget(m_connection);
}

QSqlDatabase Database::handle() const {
    return QSqlDatabase::database(m_connection, false);
}

Result<void> Database::connect(const StoreLocation& where, const QString& name, int busyTimeoutMs) {
    const QString driver = where.isPostgres() ? QStringLiteral("QPSQL") : QStringLiteral("QSQLITE");
    if (!QSqlDatabase::isDriverAvailable(driver))
        return Failure{
            Failure::Cause::Store,
            where.isPostgres()
                ? QStringLiteral("Qt SQL's PostgreSQL driver is not installed (Debian: libqt6sql6-psql)")
                : QStringLiteral("Qt SQL's SQLite driver is not installed (Debian: libqt6sql6-sqlite)")};
    QSqlDatabase db = QSqlDatabase::contains(name) ? QSqlDatabase::database(name, false)
                                                   : QSqlDatabase::addDatabase(driver, name);
    if (where.isPostgres()) {
        db.setHostName(where.host);
        db.setPort(where.port);
        db.setUserName(where.user);
        db.setPassword(where.password);
        db.setDatabaseName(where.database);
        db.setConnectOptions(where.options.join(QLatin1Char(';')));
    } else {
        db.setDatabaseName(where.path);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(busyTimeoutMs));
    }
    if (!db.open())
        return storeFailure(db.lastError());
    if (where.isPostgres())
        return success();
    // A value committed must survive a power loss: FULL syncs the WAL at every commit. These are
    // the first reads of the file: one that is no database fails here.
    for (const char* pragma : {"PRAGMA synchronous = FULL", "PRAGMA foreign_keys = ON"}) {
        QSqlQuery query(db);
        if (!query.exec(QLatin1String(pragma)))
            return Failure{Failure::Cause::Store, QStringLiteral("%1 is not a store of velta-flash: %2")
                                                      .arg(where.path, query.lastError().databaseText())};
    }
    return success();
}

Result<std::unique_ptr<Database>> Database::open(const StoreLocation& where, int busyTimeoutMs) {
    static std::atomic<int> count{0};
    const QString name = QStringLiteral("velta-store-%1").arg(count++);
    if (auto connected = connect(where, name, busyTimeoutMs); !connected) {
        forget(name);
        return connected.failure();
    }
    return std::unique_ptr<Database>(new Database(where, name, busyTimeoutMs));
}

Result<QSqlQuery> Database::exec(const QString& sql, const QVariantList& values) const {
    QSqlQuery query(handle());
    // PostgreSQL prepares on the server, where BEGIN and CREATE cannot be: a statement without
    // values goes as it is.
    if (values.isEmpty()) {
        if (!query.exec(sql))
            return storeFailure(query.lastError());
        return query;
    }
    if (!query.prepare(sql))
        return storeFailure(query.lastError());
    for (const QVariant& value : values)
        query.addBindValue(value);
    if (!query.exec())
        return storeFailure(query.lastError());
    return query;
}

Result<QStringList> Database::tables() const {
    auto query = exec(postgres() ? QStringLiteral("SELECT table_name FROM information_schema.tables WHERE "
                                                  "table_schema = current_schema()")
                                 : QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table' AND "
                                                  "name NOT LIKE 'sqlite_%'"));
    if (!query)
        return query.failure();
    QStringList names;
    while (query->next())
        names << query->value(0).toString();
    return names;
}

QString Database::forUpdate() const {
    return postgres() ? QStringLiteral(" FOR UPDATE") : QString();
}

Result<void> Database::reconnect() {
    if (exec(QStringLiteral("SELECT 1")))
        return success();
    handle().close();
    return connect(m_where, m_connection, m_busyTimeoutMs);
}
