#include "colmap_database.h"

#include <tolvane/error.h>

#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace tolvane {
namespace {

// COLMAP's schema, statement for statement.
const char* const kSchema[] = {
    "CREATE TABLE IF NOT EXISTS cameras"
    "   (camera_id            INTEGER  PRIMARY KEY AUTOINCREMENT  NOT NULL,"
    "    model                INTEGER                             NOT NULL,"
    "    width                INTEGER                             NOT NULL,"
    "    height               INTEGER                             NOT NULL,"
    "    params               BLOB,"
    "    prior_focal_length   INTEGER                             NOT NULL);",
    "CREATE TABLE IF NOT EXISTS images"
    "   (image_id   INTEGER  PRIMARY KEY AUTOINCREMENT  NOT NULL,"
    "    name       TEXT                                NOT NULL UNIQUE,"
    "    camera_id  INTEGER                             NOT NULL,"
    "    prior_qw   REAL,"
    "    prior_qx   REAL,"
    "    prior_qy   REAL,"
    "    prior_qz   REAL,"
    "    prior_tx   REAL,"
    "    prior_ty   REAL,"
    "    prior_tz   REAL,"
    "CONSTRAINT image_id_check CHECK(image_id >= 0 and image_id < 2147483647),"
    "FOREIGN KEY(camera_id) REFERENCES cameras(camera_id));"
    "CREATE UNIQUE INDEX IF NOT EXISTS index_name ON images(name);",
    "CREATE TABLE IF NOT EXISTS keypoints"
    "   (image_id  INTEGER  PRIMARY KEY  NOT NULL,"
    "    rows      INTEGER               NOT NULL,"
    "    cols      INTEGER               NOT NULL,"
    "    data      BLOB,"
    "FOREIGN KEY(image_id) REFERENCES images(image_id) ON DELETE CASCADE);",
    "CREATE TABLE IF NOT EXISTS descriptors"
    "   (image_id  INTEGER  PRIMARY KEY  NOT NULL,"
    "    rows      INTEGER               NOT NULL,"
    "    cols      INTEGER               NOT NULL,"
    "    data      BLOB,"
    "FOREIGN KEY(image_id) REFERENCES images(image_id) ON DELETE CASCADE);",
    "CREATE TABLE IF NOT EXISTS matches"
    "   (pair_id  INTEGER  PRIMARY KEY  NOT NULL,"
    "    rows     INTEGER               NOT NULL,"
    "    cols     INTEGER               NOT NULL,"
    "    data     BLOB);",
    "CREATE TABLE IF NOT EXISTS two_view_geometries"
    "   (pair_id  INTEGER  PRIMARY KEY  NOT NULL,"
    "    rows     INTEGER               NOT NULL,"
    "    cols     INTEGER               NOT NULL,"
    "    data     BLOB,"
    "    config   INTEGER               NOT NULL,"
    "    F        BLOB,"
    "    E        BLOB,"
    "    H        BLOB,"
    "    qvec     BLOB,"
    "    tvec     BLOB);",
};

constexpr int kSimpleRadial = 2;
constexpr double kFocalLengthFactor = 1.2;
constexpr int kKeypointColumns = 6;
constexpr float kPixelCentre = 0.5f;

// A prepared statement, finalised at the end of the scope.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) : db_(db)
    {
        if (sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr) != SQLITE_OK)
            fail();
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int index, sqlite3_int64 value)
    {
        check(sqlite3_bind_int64(statement_, index, value));
        return *this;
    }
    Statement& bind(int index, const std::string& text)
    {
        check(sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT));
        return *this;
    }
    Statement& bind(int index, const void* data, std::size_t bytes)
    {
        check(sqlite3_bind_blob64(statement_, index, bytes ? data : "", bytes, SQLITE_TRANSIENT));
        return *this;
    }
    // Whether a row came.
    bool step()
    {
        const int status = sqlite3_step(statement_);
        if (status != SQLITE_ROW && status != SQLITE_DONE)
            fail();
        return status == SQLITE_ROW;
    }

private:
    void check(int status)
    {
        if (status != SQLITE_OK)
            fail();
    }
    [[noreturn]] void fail() { throw Error(ErrorCode::BadData, sqlite3_errmsg(db_)); }

    sqlite3* db_;
    sqlite3_stmt* statement_ = nullptr;
};

std::vector<float> keypointsOf(const FrameSet& set)
{
    std::vector<float> rows;
    rows.reserve(set.frames.size() * kKeypointColumns);
    for (const Frame& f : set.frames)
        rows.insert(rows.end(), {f.x + kPixelCentre, f.y + kPixelCentre, f.a11, f.a12, f.a21, f.a22});
    return rows;
}

}  // namespace

ColmapDatabase::ColmapDatabase(const std::string& path)
{
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
        const std::string reason = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        throw Error(ErrorCode::FileAccess, "cannot open the database: " + reason);
    }
    try {
        // Later schemas keep images in rigs and frames, which this writer
        // does not fill: such a database is refused rather than left with
        // images its COLMAP does not see.
        if (Statement(db_, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'frames';").step())
            throw Error(ErrorCode::BadData,
                        "the database has the frames table of a later COLMAP schema, which is not supported");
        for (const char* statement : kSchema)
            execute(statement);
    } catch (...) {
        sqlite3_close(db_);
        throw;
    }
}

ColmapDatabase::~ColmapDatabase()
{
    sqlite3_close(db_);
}

void ColmapDatabase::execute(const std::string& sql) const
{
    char* message = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        const std::string reason = message ? message : sqlite3_errmsg(db_);
        sqlite3_free(message);
        throw Error(ErrorCode::BadData, reason);
    }
}

bool ColmapDatabase::hasImageNamed(const std::string& name) const
{
    return Statement(db_, "SELECT 1 FROM images WHERE name = ?;").bind(1, name).step();
}

void ColmapDatabase::add(const ColmapImage& image)
{
    const FrameSet& set = *image.frames;
    if (set.length != kDescriptorLength)
        throw Error(ErrorCode::InvalidArgument, "COLMAP takes descriptors of 128 bytes");
    execute("BEGIN;");
    try {
        const double size = std::max(image.width, image.height);
        const double params[] = {kFocalLengthFactor * size, image.width / 2.0, image.height / 2.0, 0.0};
        Statement(db_, "INSERT INTO cameras(model, width, height, params, prior_focal_length) VALUES(?, ?, ?, ?, 0);")
            .bind(1, kSimpleRadial)
            .bind(2, image.width)
            .bind(3, image.height)
            .bind(4, params, sizeof params)
            .step();
        const sqlite3_int64 camera = sqlite3_last_insert_rowid(db_);
        Statement(db_, "INSERT INTO images(name, camera_id) VALUES(?, ?);").bind(1, image.name).bind(2, camera).step();
        const sqlite3_int64 imageId = sqlite3_last_insert_rowid(db_);
        const auto rows = static_cast<sqlite3_int64>(set.frames.size());
        const std::vector<float> keypoints = keypointsOf(set);
        Statement(db_, "INSERT INTO keypoints(image_id, rows, cols, data) VALUES(?, ?, ?, ?);")
            .bind(1, imageId)
            .bind(2, rows)
            .bind(3, kKeypointColumns)
            .bind(4, keypoints.data(), keypoints.size() * sizeof(float))
            .step();
        Statement(db_, "INSERT INTO descriptors(image_id, rows, cols, data) VALUES(?, ?, ?, ?);")
            .bind(1, imageId)
            .bind(2, rows)
            .bind(3, static_cast<sqlite3_int64>(set.length))
            .bind(4, set.descriptors.data(), set.descriptors.size())
            .step();
        execute("COMMIT;");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK;", nullptr, nullptr, nullptr);
        throw;
    }
}

}  // namespace tolvane
