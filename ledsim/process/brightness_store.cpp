#include "brightness_store.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "files.h"
#include "utf.h"

const char* const STORE_SUFFIXES[4] = {"", "-journal", "-wal", "-shm"};

// The stamp in a store's header ("LEDS", PRAGMA application_id) and its
// schema's version (PRAGMA user_version), which tell a store of this tool's
// from another program's database before SQLite opens the file. Stores of
// earlier versions carry 0 for both, and are stamped when found.
static const uint32_t STORE_APPLICATION_ID = 0x4C454453;
static const int STORE_VERSION = 1;
static const size_t HEADER_SIZE = 100;

static const struct timespec RETRY_PAUSE = {0, 10000000L}; // 10 ms

static const std::string TABLE = "brightness";

// What a store's first 100 bytes say it is, read before SQLite opens it.
enum StoreFile { FILE_MISSING, FILE_EMPTY, FILE_NOT_A_DATABASE, FILE_OURS, FILE_UNSTAMPED, FILE_FOREIGN };

static std::string ChannelColumns(void)
{
    std::string columns;
    for (const char* name : LED_CHANNEL_NAMES) {
        columns += std::string(columns.empty() ? "" : ", ") + name;
    }
    return columns;
}

// As SQLite keeps it in sqlite_schema after "CREATE TABLE ".
static std::string TableDefinition(void)
{
    std::string sql = TABLE + " (path TEXT PRIMARY KEY NOT NULL";
    for (const char* name : LED_CHANNEL_NAMES) {
        sql += std::string(", ") + name + " INTEGER NOT NULL CHECK (" + name + " BETWEEN 0 AND 255)";
    }
    return sql + ") WITHOUT ROWID";
}

// The system's error behind SQLite's last failure, or 0: where a rollback
// ran between the failure and its report, the file's own record of it.
static int SystemError(sqlite3* db)
{
    int error = db != NULL ? sqlite3_system_errno(db) : 0;
    if (error == 0 && db != NULL) {
        sqlite3_file_control(db, "main", SQLITE_FCNTL_LAST_ERRNO, &error);
    }
    return error;
}

// What went wrong, in the system's words where a system call failed.
static std::string Reason(sqlite3* db, int rc)
{
    int error = SystemError(db);
    int primary = rc & 0xFF;
    if (error != 0 && (primary == SQLITE_IOERR || primary == SQLITE_FULL || primary == SQLITE_CANTOPEN ||
                       primary == SQLITE_READONLY)) {
        return strerror(error);
    }
    return db != NULL ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
}

// A failure that leaves the store readable: it could not be written.
static bool CannotWrite(sqlite3* db, int rc)
{
    int error = SystemError(db);
    int primary = rc & 0xFF;
    return primary == SQLITE_READONLY || primary == SQLITE_FULL ||
           ((primary == SQLITE_IOERR || primary == SQLITE_CANTOPEN) &&
            (error == ENOSPC || error == EDQUOT || error == EROFS || error == EACCES || error == EPERM));
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

static std::string ForeignDatabase(uint32_t id)
{
    char hex[16];
    snprintf(hex, sizeof(hex), "0x%08X", id);
    return std::string("another program's database (application id ") + hex + ")";
}

// What makes a table named brightness another than the tool's.
static std::string TableDifference(sqlite3* db)
{
    std::string columns;
    bool keyed = false;
    sqlite3_stmt* info = NULL;
    sqlite3_prepare_v2(db, ("SELECT name, pk FROM pragma_table_info('" + TABLE + "')").c_str(), -1, &info,
                       NULL);
    while (sqlite3_step(info) == SQLITE_ROW) {
        columns += std::string(columns.empty() ? "" : ", ") +
                   reinterpret_cast<const char*>(sqlite3_column_text(info, 0));
        keyed = keyed || sqlite3_column_int(info, 1) != 0;
    }
    sqlite3_finalize(info);
    std::string expected = "path, " + ChannelColumns();
    if (!keyed) {
        return "the table has no primary key";
    }
    if (columns != expected) {
        return "the table has the columns (" + columns + "), not (" + expected + ")";
    }
    return "the table's types, constraints or CHECKs are not the tool's";
}

// What a database holds that CheckStore accepts.
struct StoreContents {
    bool tabled;    // the tool's own table, else nothing yet
    bool unstamped; // no application id, as earlier versions left it
};

// Why what db holds is not a brightness store, in *refusal: only the tool's
// own table may be there, or nothing yet, beside SQLite's statistics
// (ANALYZE, PRAGMA optimize), stamped with the project's id or unstamped.
static int CheckStore(sqlite3* db, std::string* refusal, StoreContents* found)
{
    found->tabled = false;
    std::string text;
    int rc = QueryText(db, "PRAGMA quick_check", &text);
    if (rc == SQLITE_OK && text != "ok") {
        *refusal = "quick_check says: " + text;
    }
    if (rc == SQLITE_OK && refusal->empty()) {
        rc = QueryText(db, "PRAGMA application_id", &text);
        uint32_t id = static_cast<uint32_t>(strtoll(text.c_str(), NULL, 10));
        found->unstamped = id == 0;
        if (id != 0 && id != STORE_APPLICATION_ID) {
            *refusal = ForeignDatabase(id);
        }
    }
    sqlite3_stmt* schema = NULL;
    if (rc == SQLITE_OK && refusal->empty()) {
        rc = sqlite3_prepare_v2(db,
                                "SELECT type, name, sql FROM sqlite_schema WHERE name NOT IN "
                                "('sqlite_stat1', 'sqlite_stat2', 'sqlite_stat3', 'sqlite_stat4')",
                                -1, &schema, NULL);
    }
    while (rc == SQLITE_OK && refusal->empty() && (rc = sqlite3_step(schema)) == SQLITE_ROW) {
        std::string type = reinterpret_cast<const char*>(sqlite3_column_text(schema, 0));
        std::string name = reinterpret_cast<const char*>(sqlite3_column_text(schema, 1));
        const char* sql = reinterpret_cast<const char*>(sqlite3_column_text(schema, 2));
        if (type != "table" || name != TABLE) {
            *refusal = type == "index" ? "it holds an " : "it holds a ";
            refusal->append(type).append(" '").append(name).append("'");
        } else if (sql == NULL || sql != "CREATE TABLE " + TableDefinition()) {
            *refusal = TableDifference(db);
        }
        found->tabled = true;
        rc = SQLITE_OK;
    }
    sqlite3_finalize(schema);
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

// Sets the machine's devices to the levels kept for them, each an integer
// from 0 to 255, or says in *refusal which one is not.
static int LoadLevels(sqlite3* db, SimMachine* machine, std::string* refusal)
{
    sqlite3_stmt* select = NULL;
    int rc = sqlite3_exec(db, "BEGIN", NULL, NULL, NULL);
    if (rc == SQLITE_OK) {
        rc = sqlite3_prepare_v2(
            db, ("SELECT " + ChannelColumns() + " FROM " + TABLE + " WHERE path = ?1").c_str(), -1, &select,
            NULL);
    }
    for (size_t i = 0; rc == SQLITE_OK && refusal->empty() && i < machine->interfaces.size(); i++) {
        SimInterface& device = machine->interfaces[i];
        std::string path = Utf16ToUtf8(device.path);
        sqlite3_bind_text(select, 1, path.data(), static_cast<int>(path.size()), SQLITE_TRANSIENT);
        rc = sqlite3_step(select);
        for (int channel = 0; rc == SQLITE_ROW && refusal->empty() && channel < LED_CHANNEL_COUNT;
             channel++) {
            sqlite3_int64 level = sqlite3_column_int64(select, channel);
            if (sqlite3_column_type(select, channel) != SQLITE_INTEGER || level < 0 || level > 255) {
                const unsigned char* text = sqlite3_column_text(select, channel);
                *refusal = std::string("the ") + LED_CHANNEL_NAMES[channel] + " level of '" + path + "' is " +
                           (text != NULL ? reinterpret_cast<const char*>(text) : "NULL") +
                           ", not an integer from 0 to 255";
            }
            device.brightness[channel] = static_cast<uint8_t>(level);
        }
        rc = rc == SQLITE_ROW || rc == SQLITE_DONE ? sqlite3_reset(select) : rc;
    }
    sqlite3_finalize(select);
    return rc == SQLITE_OK ? sqlite3_exec(db, "COMMIT", NULL, NULL, NULL) : rc;
}

// Makes the store's file where it is missing, private, so that SQLite's
// companions, which take its mode, are private too, and reads what its
// header says: SQLite's magic, and the application id at byte 68,
// big-endian. Where the file cannot be opened for writing, *unusable says
// why; where it cannot be read either, *error does.
static StoreFile ReadStoreFile(const std::string& path, std::string* unusable, uint32_t* id,
                               std::string* error)
{
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        *unusable = strerror(errno);
        fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    }
    unsigned char header[HEADER_SIZE] = {};
    ssize_t got = fd >= 0 ? pread(fd, header, sizeof(header), 0) : -1;
    int reason = errno;
    if (fd >= 0) {
        close(fd);
    }
    *id = 0;
    for (size_t i = 68; i < 72; i++) {
        *id = *id << 8 | static_cast<uint32_t>(header[i]);
    }
    if (got < 0) {
        if (reason != ENOENT) {
            *error = path + ": cannot use the brightness store: " + strerror(reason);
        }
        return FILE_MISSING;
    }
    if (got == 0) {
        return FILE_EMPTY;
    }
    if (static_cast<size_t>(got) < HEADER_SIZE || memcmp(header, "SQLite format 3", 16) != 0) {
        return FILE_NOT_A_DATABASE;
    }
    return *id == STORE_APPLICATION_ID ? FILE_OURS : *id == 0 ? FILE_UNSTAMPED : FILE_FOREIGN;
}

static bool HoldsBytes(const std::string& path)
{
    struct stat info = {};
    return lstat(path.c_str(), &info) == 0 && info.st_size > 0;
}

// A connection that changes neither the file nor its companions, by what
// SQLite 3.40 was seen to do: beside a -wal that holds frames, read-only,
// with its -shm read-only too and no checkpoint at close; beside a journal,
// read-only, which refuses a hot one (SQLITE_READONLY_ROLLBACK); otherwise
// immutable, the only way that makes no -wal or -shm. Never immutable beside
// frames in a -wal: it would read a stale view.
static int OpenUnchanging(const std::string& path, sqlite3** db)
{
    std::string uri = "file:";
    for (char c : path) {
        char escaped[4];
        snprintf(escaped, sizeof(escaped), "%%%02X", static_cast<unsigned char>(c));
        uri += isalnum(static_cast<unsigned char>(c)) || strchr("/-._~", c) != NULL ? std::string(1, c)
                                                                                    : escaped;
    }
    uri += HoldsBytes(path + "-wal")       ? "?mode=ro&readonly_shm=1"
           : HoldsBytes(path + "-journal") ? "?mode=ro"
                                           : "?immutable=1";
    int rc = sqlite3_open_v2(uri.c_str(), db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, NULL);
    if (rc == SQLITE_OK) {
        sqlite3_extended_result_codes(*db, 1); // To tell SQLITE_READONLY_ROLLBACK.
        rc = sqlite3_db_config(*db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, NULL);
    }
    return rc;
}

// Looks at a file that may be another program's, or that this run cannot
// write, on a connection that changes nothing; where the run cannot write
// it, reads its levels there and keeps the connection.
static int LookWithoutChanging(BrightnessStore* store, SimMachine* machine, long long deadline,
                               std::string* refusal)
{
    StoreContents found = {false, false};
    int rc = OpenUnchanging(store->path, &store->db);
    if (rc == SQLITE_OK) {
        sqlite3_busy_timeout(store->db,
                             static_cast<int>(deadline > MonotonicMs() ? deadline - MonotonicMs() : 0));
        rc = CheckStore(store->db, refusal, &found);
    }
    if (rc == SQLITE_OK && refusal->empty() && !store->unusable.empty()) {
        return found.tabled ? LoadLevels(store->db, machine, refusal) : SQLITE_OK;
    }
    sqlite3_close(store->db);
    store->db = NULL;
    return rc;
}

// Everything a run does with a store it may write before the tool starts:
// a new store, or one that earlier versions left unstamped, gets its table
// and its stamp before the switch to WAL, so that they are in the file's
// header rather than in its -wal.
static int SetUp(BrightnessStore* store, SimMachine* machine, std::string* refusal)
{
    sqlite3* db = store->db;
    StoreContents found = {false, false};
    std::string mode; // The journal mode the switch reports.
    int rc = CheckStore(db, refusal, &found);
    if (rc == SQLITE_OK && refusal->empty() && (found.unstamped || !found.tabled)) {
        rc = sqlite3_exec(db,
                          ("BEGIN IMMEDIATE; CREATE TABLE IF NOT EXISTS " + TableDefinition() +
                           "; PRAGMA application_id = " + std::to_string(STORE_APPLICATION_ID) +
                           "; PRAGMA user_version = " + std::to_string(STORE_VERSION) + "; COMMIT")
                              .c_str(),
                          NULL, NULL, NULL);
    }
    if (rc == SQLITE_OK && refusal->empty()) {
        rc = QueryText(db, "PRAGMA journal_mode = WAL", &mode);
    }
    if (rc == SQLITE_OK && refusal->empty()) {
        rc = sqlite3_exec(db, "PRAGMA synchronous = NORMAL", NULL, NULL, NULL);
    }
    if (rc == SQLITE_OK && refusal->empty()) {
        rc = LoadLevels(db, machine, refusal);
    }
    return rc;
}

// After a read-write attempt that could not write, removes the -wal and
// -shm it made (an empty -wal only), as SQLite does at its last close: under
// a lock on the bytes where each connection to the store holds its shared
// lock, so that no other run is using them.
static void RemoveCompanionsMade(const std::string& path, const bool existed[4])
{
    struct flock shared = {};
    shared.l_type = F_WRLCK;
    shared.l_whence = SEEK_SET;
    shared.l_start = 0x40000002; // SQLite's PENDING_BYTE + 2
    shared.l_len = 510;
    int fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0 && fcntl(fd, F_SETLK, &shared) == 0) {
        for (size_t i = 2; i < 4; i++) {
            std::string name = path + STORE_SUFFIXES[i];
            if (!existed[i] && (i == 3 || !HoldsBytes(name))) {
                unlink(name.c_str());
            }
        }
    }
    if (fd >= 0) {
        close(fd); // Lets the lock go.
    }
}

// Opens the store for writing, so that SQLite recovers what a killed writer
// left, and sets it up, waiting for other runs up to the deadline. Where it
// cannot be written, reads it as it is instead, with the reason in
// store->unusable.
static int OpenForWriting(BrightnessStore* store, SimMachine* machine, long long deadline,
                          std::string* refusal)
{
    bool existed[4];
    for (size_t i = 0; i < 4; i++) {
        existed[i] = access((store->path + STORE_SUFFIXES[i]).c_str(), F_OK) == 0;
    }
    int rc = sqlite3_open_v2(store->path.c_str(), &store->db, SQLITE_OPEN_READWRITE, NULL);
    while (rc == SQLITE_OK) {
        sqlite3_busy_timeout(store->db,
                             static_cast<int>(deadline > MonotonicMs() ? deadline - MonotonicMs() : 0));
        rc = SetUp(store, machine, refusal);
        // Some lock upgrades skip SQLite's busy handler: wait here instead.
        if ((rc & 0xFF) != SQLITE_BUSY || MonotonicMs() >= deadline) {
            break;
        }
        sqlite3_exec(store->db, "ROLLBACK", NULL, NULL, NULL);
        nanosleep(&RETRY_PAUSE, NULL);
        rc = SQLITE_OK;
    }
    if (rc != SQLITE_OK && CannotWrite(store->db, rc)) {
        store->unusable = Reason(store->db, rc);
        sqlite3_close(store->db);
        store->db = NULL;
        RemoveCompanionsMade(store->path, existed);
        rc = LookWithoutChanging(store, machine, deadline, refusal);
    }
    return rc;
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
    uint32_t id = 0;
    StoreFile file = ReadStoreFile(store->path, &store->unusable, &id, error);
    if (!error->empty() || file == FILE_MISSING || (file == FILE_EMPTY && !store->unusable.empty())) {
        return error->empty(); // Nothing to read: each write says why it is not kept.
    }

    struct sigaction previous = {};
    IgnoreSignal(SIGXFSZ, &previous);
    long long deadline = MonotonicMs() + store->busyWaitMs;
    std::string refusal = file == FILE_NOT_A_DATABASE ? sqlite3_errstr(SQLITE_NOTADB)
                          : file == FILE_FOREIGN      ? ForeignDatabase(id)
                                                      : "";
    int rc = SQLITE_OK;
    if (refusal.empty() && (file == FILE_UNSTAMPED || !store->unusable.empty())) {
        rc = LookWithoutChanging(store, machine, deadline, &refusal);
    }
    if (rc == SQLITE_OK && refusal.empty() && store->unusable.empty()) {
        rc = OpenForWriting(store, machine, deadline, &refusal);
    }
    RestoreSignal(SIGXFSZ, &previous);

    if ((rc & 0xFF) == SQLITE_BUSY) {
        char limit[32];
        snprintf(limit, sizeof(limit), "%g s", store->busyWaitMs / 1000.0);
        *error = store->path + ": another run has held the brightness store for " + limit +
                 ", the limit for waiting";
    } else if (rc == SQLITE_READONLY_ROLLBACK && file == FILE_UNSTAMPED) {
        *error =
            store->path +
            ": not a brightness store: a hot journal of another database: open it with its own program first";
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
