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
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include "files.h"
#include "utf.h"

const char* const STORE_SUFFIXES[] = {"", "-journal", "-wal", "-shm"};

// The stamp in a store's header ("LEDS", PRAGMA application_id) and its
// schema's version (PRAGMA user_version); stores of earlier versions have
// neither, and are stamped when found.
static const uint32_t STORE_APPLICATION_ID = 0x4C454453;
static const int STORE_VERSION = 1;
static const size_t HEADER_SIZE = 100;
static const struct timespec RETRY_PAUSE = {0, 10000000L}; // 10 ms

// The table, a row per device path and a column per channel, as SQLite
// keeps it in sqlite_schema, and a write's statement but for its SET.
// clang-format off
#define STORE_COLUMN(Name, name)            ", " #name
#define STORE_COLUMN_DEFINITION(Name, name) ", " #name " INTEGER NOT NULL CHECK (" #name " BETWEEN 0 AND 255)"
#define STORE_PARAMETER(Name, name)         ", ?"
#define STORE_TABLE "brightness (path TEXT PRIMARY KEY NOT NULL" LED_CHANNELS(STORE_COLUMN_DEFINITION) ") WITHOUT ROWID"
static const char COLUMNS[] = "path" LED_CHANNELS(STORE_COLUMN);
static const char TABLE_SQL[] = "CREATE TABLE " STORE_TABLE;
static const char INSERT_SQL[] = "INSERT INTO brightness (path" LED_CHANNELS(STORE_COLUMN) ") VALUES (?"
                                 LED_CHANNELS(STORE_PARAMETER) ") ON CONFLICT (path) DO UPDATE SET ";
// clang-format on

// What a store's first 100 bytes say it is, read before SQLite opens it.
enum StoreFile { FILE_MISSING, FILE_EMPTY, FILE_NOT_A_DATABASE, FILE_OURS, FILE_UNSTAMPED, FILE_FOREIGN };

struct StoreHeader {
    StoreFile file;
    uint32_t id;          // The application id at byte 68, big-endian.
    bool wal;             // Byte 18: the file is in WAL mode.
    std::string unusable; // Why SQLite could not write it, where that shows before it opens it.
};

// How a step went: SQLite's result, and why the file is not a brightness
// store where it is not. A chain of steps goes on while both are clear.
struct Verdict {
    int rc;
    std::string refusal;
};

static bool Going(const Verdict& verdict)
{
    return verdict.rc == SQLITE_OK && verdict.refusal.empty();
}

// What a failure of SQLite means: its reason, in the system's words where a
// system call failed (after a rollback, the file's own record of it), and
// whether the store can still be read, only not written.
static std::string Reason(sqlite3* db, int rc, bool* cannotWrite = NULL)
{
    int error = db != NULL ? sqlite3_system_errno(db) : 0;
    if (error == 0 && db != NULL) {
        sqlite3_file_control(db, "main", SQLITE_FCNTL_LAST_ERRNO, &error);
    }
    int primary = rc & 0xFF;
    bool systemCall = error != 0 && (primary == SQLITE_IOERR || primary == SQLITE_FULL ||
                                     primary == SQLITE_CANTOPEN || primary == SQLITE_READONLY);
    bool readable = primary == SQLITE_READONLY || primary == SQLITE_FULL ||
                    (systemCall && (error == ENOSPC || error == EDQUOT || error == EROFS || error == EACCES ||
                                    error == EPERM));
    *(cannotWrite != NULL ? cannotWrite : &readable) = readable;
    return systemCall ? strerror(error) : db != NULL ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
}

// The first column of the first row a statement gives, or "".
static int QueryText(sqlite3* db, const char* sql, std::string* text)
{
    sqlite3_stmt* statement = NULL;
    int rc = sqlite3_prepare_v2(db, sql, -1, &statement, NULL);
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

// Why a stamp is not one this version uses, or "": the project's id with
// this schema version, or neither, as earlier versions left a store.
static std::string StampRefusal(uint32_t id, long long version)
{
    char text[128] = "";
    if (id != 0 && id != STORE_APPLICATION_ID) {
        snprintf(text, sizeof(text), "another program's database (application id 0x%08X)", id);
    } else if (id == 0 && version != 0) {
        snprintf(text, sizeof(text), "another program's database (user_version %lld)", version);
    } else if (id != 0 && version > STORE_VERSION) {
        snprintf(text, sizeof(text), "made by a newer version (schema %lld); this one reads schema %d",
                 version, STORE_VERSION);
    } else if (id != 0 && version != STORE_VERSION) {
        snprintf(text, sizeof(text), "schema %lld, which no version makes; this one reads schema %d", version,
                 STORE_VERSION);
    }
    return text;
}

// Why a schema object is not one of a brightness store's, or "".
static std::string ObjectRefusal(sqlite3* db, const std::string& type, const std::string& name,
                                 const char* sql)
{
    std::string columns;
    std::string keyed;
    if (type != "table" || name != "brightness") {
        return (type == "index" ? "it holds an " : "it holds a ") + type + " '" + name + "'";
    }
    if (sql != NULL && strcmp(sql, TABLE_SQL) == 0) {
        return "";
    }
    QueryText(db, "SELECT group_concat(name, ', ') FROM pragma_table_info('brightness')", &columns);
    QueryText(db, "SELECT max(pk) FROM pragma_table_info('brightness')", &keyed);
    return keyed == "0"         ? "the table has no primary key"
           : columns != COLUMNS ? "the table has the columns (" + columns + "), not (" + COLUMNS + ")"
                                : "the table's types, constraints or CHECKs are not the tool's";
}

// What a database holds that the tool may use.
struct StoreContents {
    bool tabled;    // the tool's own table, else nothing yet
    bool unstamped; // no id and no version, as earlier versions left it
};

// Whether db holds a brightness store: stamped as this version's or as
// earlier versions left it, with only the tool's own table, or nothing yet,
// beside SQLite's statistics (ANALYZE, PRAGMA optimize).
static Verdict CheckStore(sqlite3* db, StoreContents* found)
{
    std::string text;
    std::string version;
    Verdict verdict = {QueryText(db, "PRAGMA quick_check", &text), ""};
    verdict.refusal = Going(verdict) && text != "ok" ? "quick_check says: " + text : "";
    verdict.rc = Going(verdict) ? QueryText(db, "PRAGMA application_id", &text) : verdict.rc;
    verdict.rc = Going(verdict) ? QueryText(db, "PRAGMA user_version", &version) : verdict.rc;
    uint32_t id = static_cast<uint32_t>(strtoll(text.c_str(), NULL, 10));
    *found = {false, id == 0};
    verdict.refusal = Going(verdict) ? StampRefusal(id, strtoll(version.c_str(), NULL, 10)) : verdict.refusal;
    sqlite3_stmt* rows = NULL;
    if (Going(verdict)) {
        verdict.rc = sqlite3_prepare_v2(db,
                                        "SELECT type, name, sql FROM sqlite_schema WHERE name NOT IN "
                                        "('sqlite_stat1', 'sqlite_stat2', 'sqlite_stat3', 'sqlite_stat4')",
                                        -1, &rows, NULL);
    }
    while (Going(verdict) && (verdict.rc = sqlite3_step(rows)) == SQLITE_ROW) {
        found->tabled = true;
        verdict = {SQLITE_OK, ObjectRefusal(db, reinterpret_cast<const char*>(sqlite3_column_text(rows, 0)),
                                            reinterpret_cast<const char*>(sqlite3_column_text(rows, 1)),
                                            reinterpret_cast<const char*>(sqlite3_column_text(rows, 2)))};
    }
    sqlite3_finalize(rows);
    verdict.rc = verdict.rc == SQLITE_DONE ? SQLITE_OK : verdict.rc;
    return verdict;
}

// Sets the machine's devices to the levels kept for them, each an integer
// from 0 to 255, or says which one is not.
static Verdict LoadLevels(sqlite3* db, SimMachine* machine)
{
    sqlite3_stmt* select = NULL;
    Verdict verdict = {sqlite3_exec(db, "BEGIN", NULL, NULL, NULL), ""};
    if (Going(verdict)) {
        verdict.rc = sqlite3_prepare_v2(db, "SELECT * FROM brightness WHERE path = ?1", -1, &select, NULL);
    }
    for (size_t i = 0; Going(verdict) && i < machine->interfaces.size(); i++) {
        SimInterface& device = machine->interfaces[i];
        std::string path = Utf16ToUtf8(device.path);
        sqlite3_bind_text(select, 1, path.data(), static_cast<int>(path.size()), SQLITE_TRANSIENT);
        verdict.rc = sqlite3_step(select);
        for (int channel = 0;
             verdict.rc == SQLITE_ROW && verdict.refusal.empty() && channel < LED_CHANNEL_COUNT; channel++) {
            sqlite3_int64 level = sqlite3_column_int64(select, channel + 1);
            const char* text = reinterpret_cast<const char*>(sqlite3_column_text(select, channel + 1));
            if (sqlite3_column_type(select, channel + 1) != SQLITE_INTEGER || level < 0 || level > 255) {
                verdict.refusal = std::string("the ") + LED_CHANNEL_NAMES[channel] + " level of '" + path +
                                  "' is " + (text != NULL ? text : "NULL") + ", not an integer from 0 to 255";
            }
            device.brightness[channel] = static_cast<uint8_t>(level);
        }
        verdict.rc =
            verdict.rc == SQLITE_ROW || verdict.rc == SQLITE_DONE ? sqlite3_reset(select) : verdict.rc;
    }
    sqlite3_finalize(select);
    if (Going(verdict)) {
        verdict.rc = sqlite3_exec(db, "COMMIT", NULL, NULL, NULL);
    }
    return verdict;
}

// Makes the store's file where it is missing, private, so that SQLite's
// companions, which take its mode, are private too, and reads its header,
// and whether SQLite could write it, as far as that shows before it opens
// it: the file, its folder (where companions are made), a full disk.
// Where the file cannot be read either, *error says why.
static StoreHeader ReadStoreFile(const std::string& path, std::string* error)
{
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    int cannot = fd < 0 ? errno : access(FolderOf(path).c_str(), W_OK) != 0 ? errno : 0;
    struct statvfs disk = {};
    if (cannot == 0 && fstatvfs(fd, &disk) == 0 && (geteuid() == 0 ? disk.f_bfree : disk.f_bavail) == 0) {
        cannot = ENOSPC;
    }
    fd = fd >= 0 ? fd : open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    unsigned char header[HEADER_SIZE] = {};
    ssize_t got = fd >= 0 ? pread(fd, header, sizeof(header), 0) : -1;
    *error = got < 0 && errno != ENOENT ? path + ": cannot use the brightness store: " + strerror(errno) : "";
    if (fd >= 0) {
        close(fd);
    }
    uint32_t id = static_cast<uint32_t>(header[68]) << 24 | static_cast<uint32_t>(header[69]) << 16 |
                  static_cast<uint32_t>(header[70]) << 8 | header[71];
    bool database = got == static_cast<ssize_t>(HEADER_SIZE) && memcmp(header, "SQLite format 3", 16) == 0;
    StoreFile file = got < 0                      ? FILE_MISSING
                     : got == 0                   ? FILE_EMPTY
                     : !database                  ? FILE_NOT_A_DATABASE
                     : id == 0                    ? FILE_UNSTAMPED
                     : id == STORE_APPLICATION_ID ? FILE_OURS
                                                  : FILE_FOREIGN;
    return {file, id, header[18] == 2, cannot != 0 ? strerror(cannot) : ""};
}

static bool HoldsBytes(const std::string& path)
{
    struct stat info = {};
    return lstat(path.c_str(), &info) == 0 && info.st_size > 0;
}

// A connection that changes neither the file nor its companions (as SQLite
// 3.40 was seen to do), never checkpointing: beside a journal, read-only,
// which refuses a hot one (SQLITE_READONLY_ROLLBACK); where the run may
// write, and there is a -wal to read or no WAL, locked to itself and
// read-only in its queries, so that SQLite keeps its WAL index in memory,
// not in a new -shm; else read-only, its -shm too, beside frames in a
// -wal, and immutable where there is no -wal to miss.
static int OpenUnchanging(const std::string& path, const StoreHeader& header, bool writable, sqlite3** db)
{
    std::string uri = "file:";
    for (char c : path) {
        char escaped[4];
        snprintf(escaped, sizeof(escaped), "%%%02X", static_cast<unsigned char>(c));
        uri += isalnum(static_cast<unsigned char>(c)) || strchr("/-._~", c) != NULL ? std::string(1, c)
                                                                                    : escaped;
    }
    bool journal = HoldsBytes(path + "-journal");
    bool locked = !journal && writable && (access((path + "-wal").c_str(), F_OK) == 0 || !header.wal);
    uri += journal                     ? "?mode=ro"
           : locked                    ? "?mode=rw"
           : HoldsBytes(path + "-wal") ? "?mode=ro&readonly_shm=1"
                                       : "?immutable=1";
    int rc = sqlite3_open_v2(uri.c_str(), db,
                             SQLITE_OPEN_URI | (locked ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY), NULL);
    if (rc == SQLITE_OK) {
        sqlite3_extended_result_codes(*db, 1); // To tell SQLITE_READONLY_ROLLBACK.
        rc = sqlite3_db_config(*db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, NULL);
    }
    if (rc == SQLITE_OK && locked) {
        rc = sqlite3_exec(*db, "PRAGMA locking_mode = EXCLUSIVE; PRAGMA query_only = 1", NULL, NULL, NULL);
    }
    return rc;
}

// Looks at a file that may be another program's, or that this run cannot
// write, on a connection that changes nothing; where the run cannot write
// it, reads its levels there and keeps the connection. A look that finds
// the file busy, or that fails while another run changes it, looks again
// after a pause: a connection locked to itself keeps its locks while
// SQLite's busy handler waits, so two of them would wait for each other.
static Verdict LookWithoutChanging(BrightnessStore* store, SimMachine* machine, const StoreHeader& header,
                                   long long deadline, StoreContents* found)
{
    bool writable = store->unusable.empty();
    for (;;) {
        struct stat before = {};
        struct stat after = {};
        stat(store->path.c_str(), &before);
        Verdict verdict = {OpenUnchanging(store->path, header, writable, &store->db), ""};
        if (verdict.rc == SQLITE_OK) {
            verdict = CheckStore(store->db, found);
        }
        if (Going(verdict) && !writable && found->tabled) {
            verdict = LoadLevels(store->db, machine);
        }
        if (Going(verdict) && !writable) {
            return verdict;
        }
        sqlite3_close(store->db);
        store->db = NULL;
        stat(store->path.c_str(), &after);
        bool changed = before.st_ino != after.st_ino || before.st_size != after.st_size ||
                       before.st_mtim.tv_sec != after.st_mtim.tv_sec ||
                       before.st_mtim.tv_nsec != after.st_mtim.tv_nsec;
        if (Going(verdict) || MonotonicMs() >= deadline || ((verdict.rc & 0xFF) != SQLITE_BUSY && !changed)) {
            return verdict;
        }
        // Apart from the other runs' pauses, so that they do not meet again.
        struct timespec pause = {0, RETRY_PAUSE.tv_nsec / 2 + RETRY_PAUSE.tv_nsec * (getpid() % 16) / 16};
        nanosleep(&pause, NULL);
    }
}

// What a run does with a store it writes before the tool starts. A new
// store, or one of earlier versions, gets its table and stamp before the
// switch to WAL, so that they are in the file's header, not in its -wal. A
// store of this tool's is checked as SQLite's recovery left it, unless it
// was just looked at unstamped.
static Verdict SetUp(sqlite3* db, SimMachine* machine, const StoreContents* looked)
{
    std::string mode; // The journal mode the switch reports.
    StoreContents found = looked != NULL ? *looked : StoreContents{false, false};
    Verdict verdict = looked != NULL ? Verdict{SQLITE_OK, ""} : CheckStore(db, &found);
    if (Going(verdict) && (found.unstamped || !found.tabled)) {
        verdict.rc = sqlite3_exec(db,
                                  ("BEGIN IMMEDIATE; CREATE TABLE IF NOT EXISTS " STORE_TABLE
                                   "; PRAGMA application_id = " +
                                   std::to_string(STORE_APPLICATION_ID) +
                                   "; PRAGMA user_version = " + std::to_string(STORE_VERSION) + "; COMMIT")
                                      .c_str(),
                                  NULL, NULL, NULL);
    }
    verdict.rc = Going(verdict) ? QueryText(db, "PRAGMA journal_mode = WAL", &mode) : verdict.rc;
    verdict.rc =
        Going(verdict) ? sqlite3_exec(db, "PRAGMA synchronous = NORMAL", NULL, NULL, NULL) : verdict.rc;
    return Going(verdict) ? LoadLevels(db, machine) : verdict;
}

// Opens the store for writing, so that SQLite recovers what a killed writer
// left, and sets it up, waiting for other runs up to the deadline. Where it
// turns out it cannot be written, reads it as it is instead, with the reason
// in store->unusable.
static Verdict OpenForWriting(BrightnessStore* store, SimMachine* machine, const StoreHeader& header,
                              long long deadline, const StoreContents* looked)
{
    Verdict verdict = {sqlite3_open_v2(store->path.c_str(), &store->db, SQLITE_OPEN_READWRITE, NULL), ""};
    while (verdict.rc == SQLITE_OK) {
        sqlite3_busy_timeout(store->db,
                             static_cast<int>(deadline > MonotonicMs() ? deadline - MonotonicMs() : 0));
        verdict = SetUp(store->db, machine, looked);
        // Some lock upgrades skip SQLite's busy handler: wait here instead.
        if ((verdict.rc & 0xFF) != SQLITE_BUSY || MonotonicMs() >= deadline) {
            break;
        }
        sqlite3_exec(store->db, "ROLLBACK", NULL, NULL, NULL);
        nanosleep(&RETRY_PAUSE, NULL);
        verdict.rc = SQLITE_OK;
    }
    bool cannotWrite = false;
    std::string reason = verdict.rc != SQLITE_OK ? Reason(store->db, verdict.rc, &cannotWrite) : "";
    StoreContents found = {false, false};
    if (cannotWrite) {
        store->unusable = reason;
        CloseBrightnessStore(store);
        verdict = LookWithoutChanging(store, machine, header, deadline, &found);
    }
    return verdict;
}

// Why the store cannot be used, from how the opening went, or "".
static std::string Refusal(const BrightnessStore* store, const StoreHeader& header, const Verdict& verdict)
{
    int rc = verdict.rc;
    char limit[32];
    snprintf(limit, sizeof(limit), "%g s", store->busyWaitMs / 1000.0);
    if ((rc & 0xFF) == SQLITE_BUSY) {
        return std::string("another run has held the brightness store for ") + limit +
               ", the limit for waiting";
    }
    if (rc == SQLITE_READONLY_ROLLBACK && header.file == FILE_UNSTAMPED) {
        return "not a brightness store: a hot journal of another database: open it with its own program "
               "first";
    }
    if (rc == SQLITE_NOTADB || (rc & 0xFF) == SQLITE_CORRUPT || !verdict.refusal.empty()) {
        return std::string("not a brightness store: ") +
               (verdict.refusal.empty() ? sqlite3_errstr(rc) : verdict.refusal);
    }
    return rc != SQLITE_OK ? "cannot use the brightness store: " + Reason(store->db, rc) : "";
}

bool OpenBrightnessStore(BrightnessStore* store, SimMachine* machine, std::string* error)
{
    store->db = NULL;
    store->unusable.clear();
    bool named = CheckFolders(FolderOf(store->path), true, error);
    for (const char* suffix : STORE_SUFFIXES) {
        named = named && CheckOwnRegularFile(store->path + suffix, "brightness store", error);
    }
    StoreHeader header = named ? ReadStoreFile(store->path, error) : StoreHeader{FILE_MISSING, 0, false, ""};
    store->unusable = header.unusable;
    // A missing file, or an empty one the run cannot write, has nothing to
    // read: each write says why it is not kept.
    if (error->empty() && header.file != FILE_MISSING &&
        (header.file != FILE_EMPTY || store->unusable.empty())) {
        struct sigaction previous = {};
        IgnoreSignal(SIGXFSZ, &previous);
        long long deadline = MonotonicMs() + store->busyWaitMs;
        Verdict verdict = {SQLITE_OK, header.file == FILE_NOT_A_DATABASE ? sqlite3_errstr(SQLITE_NOTADB)
                                      : header.file == FILE_FOREIGN      ? StampRefusal(header.id, 0)
                                                                         : ""};
        StoreContents looked = {false, false};
        bool look = header.file == FILE_UNSTAMPED || !store->unusable.empty();
        if (Going(verdict) && look) {
            verdict = LookWithoutChanging(store, machine, header, deadline, &looked);
        }
        if (Going(verdict) && store->unusable.empty()) {
            verdict = OpenForWriting(store, machine, header, deadline, look ? &looked : NULL);
        }
        std::string refusal = Refusal(store, header, verdict);
        *error = refusal.empty() ? "" : store->path + ": " + refusal;
        RestoreSignal(SIGXFSZ, &previous);
    }
    if (!error->empty()) {
        CloseBrightnessStore(store);
    }
    return error->empty();
}

void KeepLevel(void* context, const SimInterface& device, int channel)
{
    BrightnessStore* store = static_cast<BrightnessStore*>(context);
    std::string reason = store->unusable;
    sqlite3_stmt*& write = store->writes[channel];
    if (reason.empty()) {
        struct sigaction previous = {};
        IgnoreSignal(SIGXFSZ, &previous);
        sqlite3_busy_timeout(store->db, store->busyWaitMs);
        // Each channel's statement, prepared at its first write: it sets its
        // column, and makes the device's row where it is missing.
        std::string set =
            std::string(LED_CHANNEL_NAMES[channel]) + " = excluded." + LED_CHANNEL_NAMES[channel];
        int rc = write != NULL ? SQLITE_OK
                               : sqlite3_prepare_v2(store->db, (INSERT_SQL + set).c_str(), -1, &write, NULL);
        std::string path = Utf16ToUtf8(device.path);
        for (int i = 0; rc == SQLITE_OK && i <= LED_CHANNEL_COUNT; i++) {
            rc = i == 0 ? sqlite3_bind_text(write, 1, path.data(), static_cast<int>(path.size()),
                                            SQLITE_TRANSIENT)
                        : sqlite3_bind_int(write, i + 1, device.brightness[i - 1]);
        }
        rc = rc == SQLITE_OK ? sqlite3_exec(store->db, "BEGIN IMMEDIATE", NULL, NULL, NULL) : rc;
        rc = rc == SQLITE_OK && sqlite3_step(write) != SQLITE_DONE ? sqlite3_errcode(store->db) : rc;
        sqlite3_reset(write);
        rc = rc == SQLITE_OK ? sqlite3_exec(store->db, "COMMIT", NULL, NULL, NULL) : rc;
        reason = rc != SQLITE_OK ? Reason(store->db, rc) : "";
        if (rc != SQLITE_OK) {
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
    for (sqlite3_stmt*& write : store->writes) {
        sqlite3_finalize(write);
        write = NULL;
    }
    sqlite3_close(store->db);
    RestoreSignal(SIGXFSZ, &previous);
    store->db = NULL;
}
