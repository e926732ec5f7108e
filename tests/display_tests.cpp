// Where readings land on the picture, checked on the image itself: no display needed.
#include <gtest/gtest.h>

#include <optional>
#include <opencv2/imgproc.hpp>

#include "scan_display.hpp"

namespace {

// An image holding nothing but the marker the program should draw at `centre`.
cv::Mat expectedImage(std::optional<cv::Point> centre) {
    cv::Mat image = cv::Mat::zeros(kImageSize, kImageSize, CV_8UC3);
    if (centre) cv::circle(image, *centre, 1, cv::Scalar(255, 0, 0), 1);
    return image;
}

bool sameImage(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && a.type() == b.type() && cv::countNonZero(a.reshape(1) != b.reshape(1)) == 0;
}

// A record in which only reading `index` can be drawn (zero readings never are).
ScanRecord recordWith(int index, double centimetres) {
    ScanRecord record;
    record.readings[index] = centimetres;
    return record;
}

std::string describe(std::optional<cv::Point> p) {
    return p ? "(" + std::to_string(p->x) + ", " + std::to_string(p->y) + ")" : "nothing";
}

TEST(DrawScan, ReadingsLandOnTheirPixels) {
    struct Case {
        int index;
        double centimetres;
        std::optional<cv::Point> centre;
    };
    const std::optional<cv::Point> none;
    const Case cases[] = {
        {180, 4000, cv::Point(320, 320)},   // 40 m straight ahead: the centre
        {180, 7999, cv::Point(639, 320)},   // last column
        {180, 8000, none},                  // column 640
        {180, 12.5, cv::Point(1, 320)},     // first column drawn
        {180, 12.4, none},                  // column 0
        {180, 8191, none},                  // the sensor's "no return"
        {0, 4000, none},                    // -90 degrees: column truncates to 0
        {360, 4000, none},                  // +90 degrees
        {0, 1e20, none},
        {360, 1e20, none},
        {180, 0, none},
        {180, -500, none},
        {90, -1000, none},
        {90, 1000, cv::Point(56, 376)},     // -45 degrees, below the sensor row
        {270, 1000, cv::Point(56, 263)},    // +45 degrees: truncation makes the halves uneven
        {1, 4000, cv::Point(2, 639)},       // last row drawn
        {359, 4000, none},                  // row 0 is never drawn
        {179, 1000, cv::Point(79, 320)},
        {181, 1000, cv::Point(79, 319)},
        {60, 100, cv::Point(4, 326)},       // 1 m at -60 degrees is 0.5 m ahead: column 4 exactly,
        {60, 25, cv::Point(1, 321)},        // which a bearing formed in plain double misses by one
        {180, 2.7e10, none},                // column beyond the int range
        {180, 1e300, none},
        {90, -1e300, none},
        {270, 1e12, none},                  // row far above the picture
    };
    cv::Mat image = makeScanImage();
    for (const Case& c : cases) {
        drawScan(image, recordWith(c.index, c.centimetres));
        EXPECT_TRUE(sameImage(image, expectedImage(c.centre)))
            << "reading " << c.index << " = " << c.centimetres << " cm should give " << describe(c.centre);
    }
}

// The marker is stamped from cv::circle's own outline; it must match the library everywhere,
// including where the outline is clipped at the picture's edges.
TEST(DrawMarker, MatchesCvCircleAlongEveryEdgeAndInside) {
    std::vector<cv::Point> centres;
    for (int k = 1; k < kImageSize; ++k) {
        for (int edge : {1, 2, kImageSize - 2, kImageSize - 1}) {
            centres.emplace_back(edge, k);
            centres.emplace_back(k, edge);
        }
    }
    for (int k = 3; k < kImageSize - 3; k += 37) centres.emplace_back(k, kImageSize - 1 - k);
    cv::Mat stamped = makeScanImage();
    cv::Mat circled = makeScanImage();
    for (const cv::Point& centre : centres) {
        stamped.setTo(cv::Scalar::all(0));
        circled.setTo(cv::Scalar::all(0));
        drawMarker(stamped, centre);
        cv::circle(circled, centre, kMarkerRadius, cv::Scalar(kMarkerColour), 1);
        ASSERT_TRUE(sameImage(stamped, circled)) << "centre (" << centre.x << ", " << centre.y << ")";
    }
}

TEST(DrawScan, EachRecordStartsOnABlankPicture) {
    cv::Mat image = makeScanImage();
    drawScan(image, recordWith(180, 4000));
    drawScan(image, recordWith(90, 1000));
    EXPECT_TRUE(sameImage(image, expectedImage(cv::Point(56, 376))));
    drawScan(image, ScanRecord{});
    EXPECT_TRUE(sameImage(image, expectedImage(std::nullopt)));
}

// Records drawn one after another on a ScanPicture, each undoing the markers of the one before,
// give exactly the picture that clearing and drawing gives, whatever came before.
TEST(ScanPicture, EachRecordIsExactlyAClearAndDraw) {
    const auto filled = [](double centimetres) {
        ScanRecord record;
        record.readings.fill(centimetres);
        return record;
    };
    // Readings that land on the picture's edges: column 1 and 639, row 1 (reading 359 at
    // 40 m gives row 0, skipped; at 39.9 m row 1) and 639 (reading 1 at 40 m).
    ScanRecord edges;
    edges.readings[180] = 7999;
    edges.readings[1] = 4000;
    edges.readings[359] = 3990;
    edges.readings[179] = 12.5;
    // Neighbouring readings a pixel or two apart: their markers overlap.
    ScanRecord overlapping;
    for (int i = 150; i < 211; ++i) overlapping.readings[i] = 300 + (i % 3) * 12.5;
    // A pseudo-random log's records, nothing drawn, and the no-return value.
    cv::RNG random(17);
    ScanRecord noisy;
    for (double& reading : noisy.readings) reading = random.uniform(-500.0, 9000.0);
    ScanRecord noisier;
    for (double& reading : noisier.readings) reading = random.uniform(0.0, 2000.0);
    const struct {
        const char* name;
        ScanRecord record;
    } sequence[] = {
        {"ring at 10 m", filled(1000)},   {"edges", edges},         {"overlapping", overlapping},
        {"empty", ScanRecord{}},          {"overlapping again", overlapping},
        {"noisy", noisy},                 {"noisier", noisier},     {"edges again", edges},
        {"no return", filled(8191)},      {"ring at 20 m", filled(2000)}, {"noisy again", noisy},
    };
    // On a picture of its own, and inside a larger frame whose other rows must stay untouched.
    ScanPicture own = makeScanPicture();
    cv::Mat frame(kImageSize + 40, kImageSize, CV_8UC3, cv::Scalar(7, 8, 9));
    ScanPicture inFrame = scanPictureIn(frame(cv::Rect(0, 0, kImageSize, kImageSize)));
    const cv::Mat strip = frame(cv::Rect(0, kImageSize, kImageSize, 40)).clone();
    cv::Mat expected = makeScanImage();
    for (const auto& step : sequence) {
        drawScan(expected, step.record);
        drawScan(own, step.record);
        drawScan(inFrame, step.record);
        EXPECT_TRUE(sameImage(own.image, expected)) << step.name;
        EXPECT_TRUE(sameImage(inFrame.image, expected)) << step.name << ", in a frame";
        EXPECT_TRUE(sameImage(frame(cv::Rect(0, kImageSize, kImageSize, 40)), strip)) << step.name;
    }
}

TEST(DrawScan, MarkersArePureBlueOnBlack) {
    cv::Mat image = makeScanImage();
    ScanRecord record;
    record.readings.fill(1000);
    drawScan(image, record);
    int marked = 0;
    for (auto it = image.begin<cv::Vec3b>(); it != image.end<cv::Vec3b>(); ++it) {
        const cv::Vec3b pixel = *it;
        if (pixel == cv::Vec3b(0, 0, 0)) continue;
        ASSERT_EQ(pixel, cv::Vec3b(255, 0, 0));
        ++marked;
    }
    EXPECT_GT(marked, 359);  // 359 circles on a 10 m half-ring, overlapping
}

TEST(ShowPoint, ProjectsARangeAndBearing) {
    struct Case {
        double range;
        double angle;
        std::optional<cv::Point> centre;
    };
    const Case cases[] = {
        {40.0, 0.0, cv::Point(320, 320)},
        {10.0, bearingOf(90), cv::Point(56, 376)},
        {10.0, bearingOf(270), cv::Point(56, 263)},
        {80.0, 0.0, std::nullopt},
        {1e300, 0.5, std::nullopt},
    };
    for (const Case& c : cases) {
        cv::Mat image = makeScanImage();
        showPoint(image, c.range, c.angle, kMarkerRadius, kMarkerColour);
        EXPECT_TRUE(sameImage(image, expectedImage(c.centre))) << c.range << " m at " << c.angle << " rad";
    }
}

TEST(BearingOf, RunsFromMinusToPlusHalfPiInHalfDegrees) {
    EXPECT_EQ(bearingOf(0), -1.5707963267948966);
    EXPECT_EQ(bearingOf(180), 0.0);
    EXPECT_EQ(bearingOf(360), 1.5707963267948966);
    EXPECT_NEAR(bearingOf(181) - bearingOf(180), 3.141592653589793 / 360, 1e-15);
}

}  // namespace
