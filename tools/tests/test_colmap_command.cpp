// tolvane colmap: the database read back through SQLite holds COLMAP's
// schema, the cameras and images, and the frames and descriptors the tool
// writes for the same images.
#include "region_files.h"
#include "support.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstring>

using testsupport::runTolvane;

namespace {

// The rows of a query, each as its columns' text (blobs as raw bytes).
std::vector<std::vector<std::string>> query(const std::string& database, const std::string& sql)
{
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    std::vector<std::vector<std::string>> rows;
    while (sqlite3_step(statement) == SQLITE_ROW) {
        rows.emplace_back();
        for (int k = 0; k < sqlite3_column_count(statement); ++k) {
            const auto* bytes = static_cast<const char*>(sqlite3_column_blob(statement, k));
            rows.back().emplace_back(bytes ? bytes : "", static_cast<std::size_t>(sqlite3_column_bytes(statement, k)));
        }
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return rows;
}

template <typename T>
std::vector<T> valuesOf(const std::string& blob)
{
    std::vector<T> values(blob.size() / sizeof(T));
    std::memcpy(values.data(), blob.data(), values.size() * sizeof(T));
    return values;
}

TEST(ColmapCommand, WritesCamerasImagesAffineKeypointsAndDescriptors)
{
    testsupport::TempDir dir;
    const std::string database = dir.file("db.db");
    const double turn[3][3] = {{0.9, 0.3, 5}, {-0.2, 1.0, 3}, {0, 0, 1}};
    const std::vector<std::string> images = {dir.file("a.png"), dir.file("b.png"), dir.file("c.png")};
    testsupport::writePngFile(images[0], testsupport::blobImage(200, 150));
    testsupport::writePngFile(images[1], testsupport::warpedImage(testsupport::blobImage(200, 150), turn));
    testsupport::writePngFile(images[2], testsupport::blobImage(120, 90));
    ASSERT_EQ(runTolvane({"colmap", database, images[0], images[1]}).status, 0);
    // An image already there refuses the whole run; a new one is added.
    const auto again = runTolvane({"colmap", database, images[2], images[0]});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("already has an image named a.png"), std::string::npos) << again.err;
    ASSERT_EQ(runTolvane({"colmap", database, images[2]}).status, 0);

    const std::pair<const char*, const char*> columns[] = {
        {"cameras", "camera_id model width height params prior_focal_length "},
        {"images", "image_id name camera_id prior_qw prior_qx prior_qy prior_qz prior_tx prior_ty prior_tz "},
        {"keypoints", "image_id rows cols data "},
        {"descriptors", "image_id rows cols data "},
        {"matches", "pair_id rows cols data "},
        {"two_view_geometries", "pair_id rows cols data config F E H qvec tvec "}};
    for (const auto& [table, names] : columns) {
        std::string listed;
        for (const auto& row : query(database, std::string("SELECT name FROM pragma_table_info('") + table + "');"))
            listed += row[0] + " ";
        EXPECT_EQ(listed, names) << table;
    }

    const auto cameras = query(database, "SELECT model, width, height, params FROM cameras ORDER BY camera_id;");
    ASSERT_EQ(cameras.size(), 3u);
    EXPECT_EQ(cameras[2][0] + " " + cameras[2][1] + " " + cameras[2][2], "2 120 90");
    EXPECT_EQ(valuesOf<double>(cameras[2][3]), std::vector<double>({144, 60, 45, 0}));
    const auto rows = query(database,
                            "SELECT images.name, images.camera_id, keypoints.rows, keypoints.cols, keypoints.data, "
                            "descriptors.rows, descriptors.cols, descriptors.data FROM images JOIN keypoints USING "
                            "(image_id) JOIN descriptors USING (image_id) ORDER BY image_id;");
    ASSERT_EQ(rows.size(), 3u);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(i);
        const auto& row = rows[i];
        EXPECT_EQ(row[0], std::string(1, static_cast<char>('a' + i)) + ".png");
        EXPECT_EQ(row[1], std::to_string(i + 1));
        // The frames and descriptors the tool writes for the image, the
        // centres moved to COLMAP's pixel convention.
        const std::string frames = dir.file("frames");
        ASSERT_EQ(runTolvane({"detect", "--descriptor", "sift", "-f", "binary", "-o", frames, images[i]}).status, 0);
        tolvane::FrameSet set;
        std::string error;
        ASSERT_TRUE(tolvane::readFrameFile(frames, set, error)) << error;
        ASSERT_GT(set.frames.size(), 2u);
        EXPECT_EQ(row[2] + " " + row[3] + " " + row[5] + " " + row[6],
                  std::to_string(set.frames.size()) + " 6 " + std::to_string(set.frames.size()) + " 128");
        std::vector<float> expected;
        std::size_t elongated = 0;
        for (const tolvane::Frame& f : set.frames) {
            expected.insert(expected.end(), {f.x + 0.5f, f.y + 0.5f, f.a11, f.a12, f.a21, f.a22});
            elongated += f.a12 != 0 && f.a21 != 0 && std::abs(std::abs(f.a12) - std::abs(f.a21)) > 0.1f;
        }
        EXPECT_EQ(valuesOf<float>(row[4]), expected);
        EXPECT_GT(elongated, 0u);
        EXPECT_EQ(valuesOf<std::uint8_t>(row[7]), set.descriptors);
    }
}

}  // namespace
