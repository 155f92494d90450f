#include "brightness_store.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "files.h"
#include "utf.h"

const char* const STORE_SUFFIXES[4] = {"", "-journal", "-wal", "-shm"};

static const struct timespec RETRY_PAUSE = {0, 10000000L}; // 10 ms

static const std::string TABLE = "brightness";

static std::string ChannelColumns(void)
{
    std::string columns;
    for (const char* name : LED_CHANNEL_NAMES) {
        columns += std::string(columns.empty() ? "" : ", ") + name;
    }
    return columns;
}

static std::string CreateTableSql(void)
{
    std::string sql = "CREATE TABLE IF NOT EXISTS " + TABLE + " (path TEXT PRIMARY KEY NOT NULL";
    for (const char* name : LED_CHANNEL_NAMES) {
        sql += std::string(", ") + name + " INTEGER NOT NULL CHECK (" + name + " BETWEEN 0 AND 255)";
    }
    return sql + ") WITHOUT ROWID";
}

// What went wrong, in the system's words where a system call failed.
static std::string Reason(sqlite3* db, int rc)
{
    int error = db != NULL ? sqlite3_system_errno(db) : 0;
    if (error != 0 && ((rc & 0xFF) == SQLITE_IOERR || rc == SQLITE_FULL || rc == SQLITE_CANTOPEN)) {
        return strerror(error);
    }
    return db != NULL ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
}

// The first column of the first row a statement gives, or "".
static int QueryText(sqlite3* db, const std::string& sql, std::string* text)
{
    sqlite3_stmt* statement = NULL;
    int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, NULL);
    text->clear();
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(statement);
        if (rc == SQLITE_ROW && sqlite3_column_text(statement, 0) != NULL) {
            *text = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
        }
        rc = rc == SQLITE_ROW || rc == SQLITE_DONE ? SQLITE_OK : rc;
    }
    sqlite3_finalize(statement);
    return rc;
}

// Reads nothing it did not check and writes nothing before it knows the
// file is a store of its own: a database that holds nothing yet, or the
// one table of the brightness.
static int CheckStore(sqlite3* db, std::string* refusal)
{
    std::string text;
    int rc = QueryText(db, "PRAGMA quick_check", &text);
    if (rc == SQLITE_OK && text != "ok") {
        *refusal = "quick_check says: " + text;
    }
    if (rc == SQLITE_OK && refusal->empty()) {
        rc = QueryText(db, "SELECT name FROM sqlite_schema WHERE tbl_name <> '" + TABLE + "'", &text);
        if (rc == SQLITE_OK && !text.empty()) {
            *refusal = "it holds other things, such as '" + text + "'";
        }
    }
    if (rc == SQLITE_OK && refusal->empty()) {
        rc = QueryText(db, "SELECT count(*) FROM sqlite_schema", &text);
        if (rc == SQLITE_OK && text != "0" &&
            QueryText(db, "SELECT path, " + ChannelColumns() + " FROM " + TABLE + " LIMIT 0", &text) !=
                SQLITE_OK) {
            *refusal = "its table '" + TABLE + "' has other columns";
        }
    }
    return rc;
}

static int LoadLevels(sqlite3* db, SimMachine* machine)
{
    sqlite3_stmt* select = NULL;
    int rc = sqlite3_exec(db, "BEGIN", NULL, NULL, NULL);
    if (rc == SQLITE_OK) {
        rc = sqlite3_prepare_v2(
            db, ("SELECT " + ChannelColumns() + " FROM " + TABLE + " WHERE path = ?1").c_str(), -1, &select,
            NULL);
    }
    for (size_t i = 0; rc == SQLITE_OK && i < machine->interfaces.size(); i++) {
        SimInterface& device = machine->interfaces[i];
        std::string path = Utf16ToUtf8(device.path);
        sqlite3_bind_text(select, 1, path.data(), static_cast<int>(path.size()), SQLITE_TRANSIENT);
        rc = sqlite3_step(select);
        for (int channel = 0; rc == SQLITE_ROW && channel < LED_CHANNEL_COUNT; channel++) {
            device.brightness[channel] = static_cast<uint8_t>(sqlite3_column_int(select, channel));
        }
        rc = rc == SQLITE_ROW || rc == SQLITE_DONE ? sqlite3_reset(select) : rc;
    }
    sqlite3_finalize(select);
    return rc == SQLITE_OK ? sqlite3_exec(db, "COMMIT", NULL, NULL, NULL) : rc;
}

// Everything a run does with the store before the tool starts. Only a
// store that checks out is changed: put in WAL mode and given its table
// where it has none yet.
static int SetUp(BrightnessStore* store, SimMachine* machine, std::string* refusal)
{
    sqlite3* db = store->db;
    std::string answer; // What a query gave: the journal mode, a count.
    int rc = CheckStore(db, refusal);
    if (rc == SQLITE_OK && refusal->empty()) {
        rc = QueryText(db, "PRAGMA journal_mode = WAL", &answer);
    }
    if (rc == SQLITE_OK && refusal->empty()) {
        rc = sqlite3_exec(db, "PRAGMA synchronous = NORMAL", NULL, NULL, NULL);
    }
    if (rc == SQLITE_OK && refusal->empty()) {
        rc = sqlite3_exec(db, CreateTableSql().c_str(), NULL, NULL, NULL);
        // A store this user may read but not write: its levels are read,
        // and each write says it cannot be kept.
        if (rc == SQLITE_READONLY) {
            store->unusable = Reason(db, rc);
            rc = QueryText(db, "SELECT count(*) FROM sqlite_schema", &answer);
            return rc != SQLITE_OK || answer == "0" ? rc : LoadLevels(db, machine);
        }
    }
    if (rc == SQLITE_OK && refusal->empty()) {
        rc = LoadLevels(db, machine);
    }
    return rc;
}

// Made here where it is missing, private, so that SQLite's companions,
// which take its mode, are private too. False where the folder does not
// let it be made: nothing can be kept there.
static bool MakeStoreFile(const std::string& path, std::string* reason)
{
    int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        *reason = strerror(errno);
        return false;
    }
    close(fd);
    return true;
}

bool OpenBrightnessStore(BrightnessStore* store, SimMachine* machine, std::string* error)
{
    store->db = NULL;
    store->unusable.clear();
    if (!CheckOwnFolder(FolderOf(store->path), "brightness store", error)) {
        return false;
    }
    for (const char* suffix : STORE_SUFFIXES) {
        if (!CheckOwnRegularFile(store->path + suffix, "brightness store", error)) {
            return false;
        }
    }
    std::string reason;
    bool existed = access(store->path.c_str(), F_OK) == 0;
    if (!MakeStoreFile(store->path, &reason)) {
        if (existed) {
            *error = store->path + ": cannot read the brightness store: " + reason;
            return false;
        }
        store->unusable = reason;
        return true;
    }

    struct sigaction previous = {};
    IgnoreSignal(SIGXFSZ, &previous);
    long long deadline = MonotonicMs() + store->busyWaitMs;
    int rc = sqlite3_open_v2(store->path.c_str(), &store->db, SQLITE_OPEN_READWRITE, NULL);
    std::string refusal;
    while (rc == SQLITE_OK) {
        sqlite3_busy_timeout(store->db,
                             static_cast<int>(deadline > MonotonicMs() ? deadline - MonotonicMs() : 0));
        rc = SetUp(store, machine, &refusal);
        // Some lock upgrades skip SQLite's busy handler: wait here instead.
        if ((rc & 0xFF) != SQLITE_BUSY || MonotonicMs() >= deadline) {
            break;
        }
        sqlite3_exec(store->db, "ROLLBACK", NULL, NULL, NULL);
        nanosleep(&RETRY_PAUSE, NULL);
        rc = SQLITE_OK;
    }
    RestoreSignal(SIGXFSZ, &previous);

    if ((rc & 0xFF) == SQLITE_BUSY) {
        char limit[32];
        snprintf(limit, sizeof(limit), "%g s", store->busyWaitMs / 1000.0);
        *error = store->path + ": another run has held the brightness store for " + limit +
                 ", the limit for waiting";
    } else if (rc == SQLITE_NOTADB || (rc & 0xFF) == SQLITE_CORRUPT || !refusal.empty()) {
        *error =
            store->path + ": not a brightness store: " + (refusal.empty() ? sqlite3_errstr(rc) : refusal);
    } else if (rc != SQLITE_OK) {
        *error = store->path + ": cannot use the brightness store: " + Reason(store->db, rc);
    }
    if (!error->empty()) {
        CloseBrightnessStore(store);
        return false;
    }
    return true;
}

static int WriteLevel(sqlite3* db, const SimInterface& device, int channel)
{
    std::string path = Utf16ToUtf8(device.path);
    std::string sql = "INSERT INTO " + TABLE + " (path, " + ChannelColumns() + ") VALUES (?1";
    for (int i = 0; i < LED_CHANNEL_COUNT; i++) {
        sql += ", ?" + std::to_string(i + 2);
    }
    const char* column = LED_CHANNEL_NAMES[channel];
    sql += ") ON CONFLICT (path) DO UPDATE SET " + std::string(column) + " = excluded." + column;

    sqlite3_stmt* upsert = NULL;
    int rc = sqlite3_exec(db, "BEGIN IMMEDIATE", NULL, NULL, NULL);
    if (rc == SQLITE_OK) {
        rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &upsert, NULL);
    }
    if (rc == SQLITE_OK) {
        sqlite3_bind_text(upsert, 1, path.data(), static_cast<int>(path.size()), SQLITE_TRANSIENT);
        for (int i = 0; i < LED_CHANNEL_COUNT; i++) {
            sqlite3_bind_int(upsert, i + 2, device.brightness[i]);
        }
        rc = sqlite3_step(upsert) == SQLITE_DONE ? SQLITE_OK : sqlite3_errcode(db);
    }
    sqlite3_finalize(upsert);
    if (rc == SQLITE_OK) {
        rc = sqlite3_exec(db, "COMMIT", NULL, NULL, NULL);
    }
    return rc;
}

void KeepLevel(void* context, const SimInterface& device, int channel)
{
    BrightnessStore* store = static_cast<BrightnessStore*>(context);
    std::string reason = store->unusable;
    if (reason.empty()) {
        struct sigaction previous = {};
        IgnoreSignal(SIGXFSZ, &previous);
        sqlite3_busy_timeout(store->db, store->busyWaitMs);
        int rc = WriteLevel(store->db, device, channel);
        if (rc != SQLITE_OK) {
            reason = Reason(store->db, rc);
            sqlite3_exec(store->db, "ROLLBACK", NULL, NULL, NULL);
        }
        RestoreSignal(SIGXFSZ, &previous);
    }
    if (!reason.empty()) {
        fprintf(stderr, "ledsim: brightness not kept: %s: %s\n", store->path.c_str(), reason.c_str());
    }
}

void CloseBrightnessStore(BrightnessStore* store)
{
    struct sigaction previous = {};
    IgnoreSignal(SIGXFSZ, &previous);
    sqlite3_close(store->db);
    RestoreSignal(SIGXFSZ, &previous);
    store->db = NULL;
}
