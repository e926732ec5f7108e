// Rendering's parts on memory: which record each frame shows, the names of outputs, and PNG
// pictures that read back pixel for pixel.
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "pictures/frame_output.hpp"
#include "pictures/frame_schedule.hpp"
#include "pictures/png_picture.hpp"

namespace {

// The record number each frame shows, for records (numbered from 1) at `timesMs`.
std::vector<std::uint64_t> framesOf(const std::vector<double>& timesMs, double fps, double speed) {
    FrameSchedule schedule = makeFrameSchedule(fps, speed);
    std::vector<std::uint64_t> shown;
    const FrameWriter write = [&](std::uint64_t frame, const FramedRecord& record) {
        EXPECT_EQ(frame, shown.size());
        shown.push_back(record.number);
        return true;
    };
    for (std::size_t i = 0; i < timesMs.size(); ++i) {
        FramedRecord record;
        record.number = i + 1;
        record.timeNs = std::llround(timesMs[i] * 1e6);
        EXPECT_TRUE(scheduleRecord(schedule, record, write));
    }
    EXPECT_TRUE(scheduleEnd(schedule, write));
    return shown;
}

TEST(FrameSchedule, EachFrameShowsTheLatestRecordDueAndTheLastShowsTheLast) {
    struct Case {
        const char* name;
        std::vector<double> timesMs;
        double fps, speed;
        std::vector<std::uint64_t> frames;
    };
    std::vector<double> at75Hz;
    for (int k = 0; k < 10; ++k) at75Hz.push_back(k * 1000.0 / 75);  // as play times scan files
    const Case cases[] = {
        // 120 ms make 4 frames at 30 fps; record 6 is due exactly at frame 2's time.
        {"75 Hz at 30 fps", at75Hz, 30, 1, {1, 3, 6, 10}},
        {"10 Hz at 30 fps", {0, 100, 200}, 30, 1, {1, 1, 1, 2, 2, 3}},
        {"twice as fast", {0, 100, 200}, 30, 2, {1, 1, 3}},
        {"half as fast", {0, 100}, 30, 0.5, {1, 1, 1, 1, 1, 2}},
        {"one record", {5}, 30, 1, {1}},
        {"no time passes", {0, 0, 0}, 30, 1, {3}},
        {"a burst, then a gap", {0, 1, 2, 1000}, 10, 1, {1, 3, 3, 3, 3, 3, 3, 3, 3, 4}},
        {"a frame's length apart", {0, 100}, 10, 1, {2}},
        {"nothing", {}, 30, 1, {}},
    };
    for (const Case& c : cases) EXPECT_EQ(framesOf(c.timesMs, c.fps, c.speed), c.frames) << c.name;
}

TEST(FrameSchedule, AWriteThatFailsStopsIt) {
    FrameSchedule schedule = makeFrameSchedule(30, 1);
    int calls = 0;
    const FrameWriter failing = [&](std::uint64_t, const FramedRecord&) { return ++calls < 2; };
    FramedRecord record;
    EXPECT_TRUE(scheduleRecord(schedule, record, failing));
    record.timeNs = 1'000'000'000;
    EXPECT_FALSE(scheduleRecord(schedule, record, failing));
    EXPECT_EQ(calls, 2);
}

TEST(OutputNames, TheEndingSaysTheKindAndAnythingElseIsRefused) {
    struct Case {
        const char* name;
        bool accepted;
        OutputKind kind;
    };
    const Case cases[] = {
        {"scan.mp4", true, OutputKind::mp4},
        {"dir/Scan.MP4", true, OutputKind::mp4},
        {"scan.avi", true, OutputKind::avi},
        {"frames/scan-%05d.png", true, OutputKind::numberedPngs},
        {"scan-%d.PNG", true, OutputKind::numberedPngs},
        {"100%%.png", true, OutputKind::png},
        {"last.png", true, OutputKind::png},
        {"scan-%s.png", false, OutputKind::png},
        {"%d-%d.png", false, OutputKind::png},
        {"run-%d/scan.png", false, OutputKind::png},
        {"50%.png", false, OutputKind::png},
        {"scan-%05d.mp4.gif", false, OutputKind::png},
        {"scan.gif", false, OutputKind::png},
        {"scan", false, OutputKind::png},
        {".mp4", false, OutputKind::png},
        {"dir/.png", false, OutputKind::png},
    };
    for (const Case& c : cases) {
        OutputKind kind = OutputKind::png;
        EXPECT_EQ(outputKindOf(c.name, kind), c.accepted) << c.name;
        if (c.accepted) {
            EXPECT_EQ(kind, c.kind) << c.name;
        }
    }
}

TEST(OutputNames, FramesAreNumberedAsPrintfWould) {
    const std::tuple<const char*, std::uint64_t, const char*> cases[] = {
        {"f-%05d.png", 7, "f-00007.png"},   {"f-%d.png", 12, "f-12.png"},     {"f%3d.png", 5, "f  5.png"},
        {"100%%-%02d.png", 3, "100%-03.png"}, {"f-%02d.png", 123, "f-123.png"}, {"a/b-%d.png", 1, "a/b-1.png"},
    };
    for (const auto& [pattern, number, name] : cases) EXPECT_EQ(numberedName(pattern, number), name) << pattern;
}

// Pictures of 1 to 300 colours: with a palette at every bit depth, and in full colour.
TEST(PngPicture, ReadsBackPixelForPixel) {
    cv::RNG random(17);
    for (int colours : {1, 2, 3, 4, 5, 16, 17, 256, 257, 300}) {
        std::vector<cv::Vec3b> palette;
        for (int k = 0; k < colours; ++k) palette.emplace_back(random.uniform(0, 256), random.uniform(0, 256), k % 256);
        // Odd sizes, so that packed rows end inside a byte.
        cv::Mat picture(37, 61, CV_8UC3);
        for (int y = 0; y < picture.rows; ++y)
            for (int x = 0; x < picture.cols; ++x) picture.at<cv::Vec3b>(y, x) = palette[(x * 7 + y * 13) % colours];
        std::vector<unsigned char> png;
        std::string error;
        ASSERT_TRUE(encodePng(picture, png, error)) << error;
        const cv::Mat back = cv::imdecode(png, cv::IMREAD_UNCHANGED);
        ASSERT_EQ(back.type(), CV_8UC3) << colours << " colours";
        ASSERT_EQ(back.size(), picture.size());
        EXPECT_EQ(cv::countNonZero(back.reshape(1) != picture.reshape(1)), 0) << colours << " colours";
    }
}

}  // namespace
