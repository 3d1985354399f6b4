// Identities, hold and confirm, ordering and path smoothing (default model, hand-placed blobs).
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "test_blobs_support.h"

using namespace blobtest;

namespace {

class Tracking : public ::testing::Test {
protected:
    void SetUp() override {
        model_ = &VirtualFrame::defaultFrameModel();
        ctx_ = MakeContext(*model_);
        mmX_ = ctx_->ledCountX * ctx_->mmPerLed;
        mmY_ = ctx_->ledCountY * ctx_->mmPerLed;
    }

    // One frame of the identity and hold steps with blobs at these screen positions.
    std::vector<Touch> Frame(const std::vector<std::pair<double, double>>& screen,
                             int maxMissed = 5, int minAge = 5) {
        ctx_->blobCount = ctx_->workCount = 0;
        for (const auto& p : screen) {
            ctx_->blobs[ctx_->blobCount++] =
                SquareBlob(ctx_.get(), ScreenX(*model_, p.first), ScreenY(*model_, p.second), 8);
        }
        ctx_->workCount = ctx_->blobCount;
        AssignBlobsID(ctx_.get());
        TransientBlobs(ctx_.get(), maxMissed, minAge);
        std::vector<Touch> out;
        for (int i = 0; i < ctx_->blobCount; ++i) {
            const _MINI_POLYGON& b = ctx_->blobs[i];
            out.push_back(Touch{b.id, b.cx, b.cy, b.age});
        }
        return out;
    }

    // Screen x moved by a distance in millimetres.
    double PlusMmX(double x, double mm) const { return x + mm / mmX_; }

    const VirtualFrame::FrameModel* model_ = nullptr;
    ContextPtr ctx_;
    double mmX_ = 0, mmY_ = 0;
};

TEST_F(Tracking, IdentitiesStartAtOneAndWrapAfterFortySeven) {
    std::vector<int> ids;
    for (int i = 0; i < 50; ++i) {
        std::memset(ctx_->idInUse, 0, sizeof(ctx_->idInUse));
        ids.push_back(GetId(ctx_.get()));
    }
    EXPECT_EQ(1, ids[0]);
    EXPECT_EQ(47, ids[46]);
    EXPECT_EQ(0, ids[47]);
    EXPECT_EQ(1, ids[48]);

    std::memset(ctx_->idInUse, 0, sizeof(ctx_->idInUse));
    ctx_->idInUse[3] = ctx_->idInUse[4] = 1;
    ctx_->lastId = 2;
    EXPECT_EQ(5, GetId(ctx_.get())) << "identities in use are skipped";
    std::memset(ctx_->idInUse, 1, sizeof(ctx_->idInUse));
    EXPECT_EQ(-1, GetId(ctx_.get())) << "no endless search when every identity is taken";
}

TEST_F(Tracking, LoneNewFingerIsTrustedAtOnce) {
    std::vector<Touch> t = Frame({{0.5, 0.5}}, 3, 3);
    ASSERT_EQ(1u, t.size());
    EXPECT_EQ(1, t[0].id);
    EXPECT_EQ(3, t[0].age);
    EXPECT_NEAR(0.5, t[0].x, 1e-5);
    EXPECT_NEAR(0.5, t[0].y, 1e-5);
}

TEST_F(Tracking, WithMinimumAgeFiveAFingerShowsOnItsThirdFrame) {
    EXPECT_EQ(0u, Frame({{0.5, 0.5}}).size());
    EXPECT_EQ(0u, Frame({{0.5, 0.5}}).size());
    std::vector<Touch> t = Frame({{0.5, 0.5}});
    ASSERT_EQ(1u, t.size());
    EXPECT_EQ(5, t[0].age);
}

TEST_F(Tracking, NewcomersAmongManyWaitLonger) {
    const std::vector<std::pair<double, double>> three{{0.2, 0.2}, {0.5, 0.5}, {0.8, 0.8}};
    EXPECT_EQ(0u, Frame(three, 3, 3).size());
    EXPECT_EQ(0u, Frame(three, 3, 3).size());
    EXPECT_EQ(3u, Frame(three, 3, 3).size());
}

TEST_F(Tracking, FingerMissingForTwoFramesKeepsItsIdentity) {
    std::vector<Touch> t;
    for (int i = 0; i < 6; ++i) t = Frame({{0.4, 0.6}}, 3, 3);
    ASSERT_EQ(1u, t.size());
    const int id = t[0].id;
    for (int i = 0; i < 2; ++i) {
        t = Frame({}, 3, 3);
        ASSERT_EQ(1u, t.size()) << "held while missing";
        EXPECT_EQ(id, t[0].id);
        EXPECT_NEAR(0.4, t[0].x, 1e-5);
    }
    t = Frame({{0.41, 0.6}}, 3, 3);
    ASSERT_EQ(1u, t.size());
    EXPECT_EQ(id, t[0].id);

    // Missing for three frames with maxMissed 3: gone, and back under a new identity.
    for (int i = 0; i < 3; ++i) t = Frame({}, 3, 3);
    EXPECT_EQ(0u, t.size());
    t = Frame({{0.41, 0.6}}, 3, 3);
    ASSERT_EQ(1u, t.size());
    EXPECT_NE(id, t[0].id);
}

TEST_F(Tracking, HeldFingerKeepsItsIdentityReserved) {
    std::vector<Touch> t;
    for (int i = 0; i < 6; ++i) t = Frame({{0.3, 0.5}}, 3, 3);
    ASSERT_EQ(1u, t.size());
    const int held = t[0].id;
    // The cyclic order would hand out the held finger's identity next.
    ctx_->lastId = static_cast<uint32_t>(held == 0 ? 47 : held - 1);
    t = Frame({{0.8, 0.5}}, 3, 3);
    ASSERT_EQ(2u, t.size()) << "held finger and newcomer";
    EXPECT_EQ(held, t[0].id);
    EXPECT_NE(held, t[1].id);
}

TEST_F(Tracking, SixtyMillimetreGate) {
    std::vector<Touch> t;
    for (int i = 0; i < 6; ++i) t = Frame({{0.3, 0.5}}, 3, 3);
    const int id = t[0].id;
    t = Frame({{PlusMmX(0.3, 55), 0.5}}, 3, 3);
    ASSERT_EQ(1u, t.size());
    EXPECT_EQ(id, t[0].id) << "within the gate";

    for (int i = 0; i < 6; ++i) t = Frame({{0.3, 0.5}}, 3, 3);
    ASSERT_EQ(1u, t.size());
    const int id2 = t[0].id;
    t = Frame({{PlusMmX(0.3, 65), 0.5}}, 3, 3);
    ASSERT_EQ(2u, t.size()) << "the old finger is held, the new one has its own identity";
    EXPECT_EQ(id2, t[0].id);
    EXPECT_NE(id2, t[1].id);
}

TEST_F(Tracking, EstablishedTrackIsPreferred) {
    // A young track lies nearer than an established one; within 25 mm of difference the
    // established one takes the finger. A third finger far away keeps the two-track rule out.
    const std::pair<double, double> far{0.8, 0.2};
    std::vector<Touch> t;
    for (int i = 0; i < 8; ++i) t = Frame({{0.3, 0.5}, far}, 3, 3);
    ASSERT_EQ(2u, t.size());
    const int old = t[0].id;
    t = Frame({{0.3, 0.5}, {PlusMmX(0.3, 30), 0.5}, far}, 3, 3);
    // The established finger vanishes and one blob lies 20 mm from it, 10 mm from the young one.
    t = Frame({{PlusMmX(0.3, 20), 0.5}, far}, 3, 3);
    bool found = false;
    for (const Touch& touch : t) {
        if (std::fabs(touch.x - PlusMmX(0.3, 20)) < 1e-4) {
            EXPECT_EQ(old, touch.id);
            found = true;
        }
    }
    EXPECT_TRUE(found);
}

TEST_F(Tracking, TwoTracksOnTopOfEachOtherResolveToTheEstablishedOne) {
    const ODPoint at{0.5f, 0.5f};
    auto tracks = [&](int age0, int age1) {
        ctx_->trackCount = 2;
        for (int t = 0; t < 2; ++t) {
            TrackRecord& r = ctx_->tracks[t];
            std::memset(&r, 0, sizeof(r));
            r.x = at.x;
            r.y = at.y;
            r.id = 10 + t;
            r.age = t == 0 ? age0 : age1;
        }
        // The younger track moves toward where the blob will be: by prediction it would win.
        TrackRecord& young = ctx_->tracks[age0 > age1 ? 1 : 0];
        young.vx = static_cast<float>(10.0 / mmX_);
        ctx_->blobs[0] =
            SquareBlob(ctx_.get(), ScreenX(*model_, at.x + 10.0 / mmX_), ScreenY(*model_, at.y), 8);
        ctx_->blobCount = ctx_->workCount = 1;
        AssignBlobsID(ctx_.get());
        return ctx_->blobs[0].id;
    };
    // Ages below the established bonus, so only the rule can overrule the prediction.
    EXPECT_EQ(10, tracks(5, 2));
    EXPECT_EQ(11, tracks(2, 5));

    // Apart by more than the rule's distance, the prediction decides.
    ctx_->trackCount = 2;
    ctx_->tracks[1].x = static_cast<float>(at.x + 1.0 / mmX_);
    ctx_->tracks[1].vx = static_cast<float>(9.0 / mmX_);
    ctx_->tracks[1].age = 2;
    ctx_->tracks[1].id = 11;
    ctx_->tracks[0].age = 5;
    ctx_->tracks[0].id = 10;
    ctx_->tracks[0].vx = 0;
    ctx_->tracks[0].x = at.x;
    ctx_->blobs[0] =
        SquareBlob(ctx_.get(), ScreenX(*model_, at.x + 10.0 / mmX_), ScreenY(*model_, at.y), 8);
    ctx_->blobCount = ctx_->workCount = 1;
    AssignBlobsID(ctx_.get());
    EXPECT_EQ(11, +ctx_->blobs[0].id);
}

TEST_F(Tracking, IdentityZeroIsMarkedWhenMatched) {
    ctx_->trackCount = 1;
    TrackRecord& r = ctx_->tracks[0];
    std::memset(&r, 0, sizeof(r));
    r.x = 0.5f;
    r.y = 0.5f;
    r.id = 0;
    r.age = 10;
    ctx_->lastId = 20;
    ctx_->blobs[0] = SquareBlob(ctx_.get(), ScreenX(*model_, 0.5 + 1.0 / mmX_), 0.5, 8);
    ctx_->blobs[1] = SquareBlob(ctx_.get(), ScreenX(*model_, 0.5 - 3.0 / mmX_), 0.5, 8);
    ctx_->blobCount = ctx_->workCount = 2;
    AssignBlobsID(ctx_.get());
    EXPECT_EQ(0, +ctx_->blobs[0].id);
    EXPECT_EQ(21, +ctx_->blobs[1].id) << "one track never gives its identity to two blobs";
}

TEST_F(Tracking, HugeGateNeverMatchesATrackTwice) {
    // Forty tracks racing the same way widen the gate past the "nothing found" distance. Once
    // both blobs have identities the search finds nothing and must end there.
    ctx_->trackCount = 40;
    for (int t = 0; t < 40; ++t) {
        TrackRecord& r = ctx_->tracks[t];
        std::memset(&r, 0, sizeof(r));
        r.x = -0.5f;  // predicted at 0.5 one frame on
        r.y = 0.5f;
        r.vx = 1.0f;
        r.id = t;
        r.age = 10;
    }
    ctx_->blobs[0] = SquareBlob(ctx_.get(), ScreenX(*model_, 0.5), 0.5, 8);
    ctx_->blobs[1] = SquareBlob(ctx_.get(), ScreenX(*model_, 0.8), 0.5, 8);
    ctx_->blobCount = ctx_->workCount = 2;
    AssignBlobsID(ctx_.get());
    EXPECT_EQ(0, +ctx_->blobs[0].id);
    EXPECT_EQ(1, +ctx_->blobs[1].id);
    EXPECT_EQ(-1, +ctx_->tracks[0].id) << "matched, marked";
    EXPECT_EQ(2, +ctx_->tracks[2].id) << "untouched";
}

TEST_F(Tracking, HeldObjectsPilingUpNeverShareAnIdentity) {
    // Forty fingers that each live three frames and then jump away: the held ones pile up
    // beyond the 48 identities, and the newcomers must wait rather than take a held one's.
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> pos(0.05, 0.95);
    int fullFrames = 0;
    for (int round = 0; round < 12; ++round) {
        std::vector<std::pair<double, double>> fingers;
        for (int f = 0; f < 40; ++f) fingers.emplace_back(pos(rng), pos(rng));
        for (int i = 0; i < 3; ++i) {
            std::vector<Touch> t = Frame(fingers, 5, 3);
            ASSERT_LE(+ctx_->transientCount, PANORA_MAX_POLYGONS);
            ASSERT_LE(+ctx_->trackCount, PANORA_MAX_TRACKS);
            std::vector<bool> seen(PANORA_MAX_IDS, false);
            for (int k = 0; k < ctx_->transientCount; ++k) {
                const int id = ctx_->transients[k].id;
                ASSERT_GE(id, 0);
                ASSERT_LT(id, PANORA_MAX_IDS);
                ASSERT_FALSE(seen[id]) << "identity " << id << " held twice, round " << round;
                seen[id] = true;
            }
            for (const Touch& touch : t) ASSERT_TRUE(seen[touch.id]);
            if (ctx_->transientCount == PANORA_MAX_IDS) ++fullFrames;
        }
    }
    EXPECT_GT(fullFrames, 0) << "the scenario did use every identity";
}

TEST_F(Tracking, NewcomerWaitsWhileTheHeldObjectTableIsFull) {
    // A full table: 100 established objects held near one corner, none seen in this frame.
    for (int k = 0; k < PANORA_MAX_POLYGONS; ++k) {
        _MINI_POLYGON held = SquareBlob(ctx_.get(), 0.1, 0.1, 8);  // held objects: screen units
        held.id = k % PANORA_MAX_IDS;
        held.age = 10;
        ctx_->transients[k] = held;
        ctx_->tracks[k] = TrackRecord{held.cx, held.cy, held.id, 0, 0, {0, 0}, 10, 0, 0, 0};
    }
    ctx_->transientCount = ctx_->trackCount = PANORA_MAX_POLYGONS;
    // A finger far from all of them is new, and there is no slot for it.
    const std::vector<Touch> out = Frame({{0.9, 0.9}}, 5, 5);
    EXPECT_EQ(PANORA_MAX_POLYGONS, +ctx_->transientCount);
    EXPECT_EQ(PANORA_MAX_TRACKS, +ctx_->trackCount);
    for (const Touch& t : out) EXPECT_LT(t.x, 0.5) << "the newcomer is not tracked yet";
}

// A finger that vanishes is held only once it was established: seen for fewer frames than the
// minimum age it is dropped at once, one frame more and it is held.
class YoungTrack : public Tracking, public ::testing::WithParamInterface<int> {};

TEST_P(YoungTrack, VanishedFingerIsHeldOnlyOnceEstablished) {
    const int seen = GetParam();  // a lone finger starts at age 3 and gains one a frame
    for (int i = 0; i < seen; ++i) Frame({{0.4, 0.6}}, 5, 5);
    const std::vector<Touch> t = Frame({}, 5, 5);
    const bool established = 3 + seen - 1 >= 5;
    EXPECT_EQ(established ? 1 : 0, +ctx_->transientCount) << "seen " << seen;
    EXPECT_EQ(established ? 1u : 0u, t.size());
}

INSTANTIATE_TEST_SUITE_P(BothSidesOfMinimumAge, YoungTrack, ::testing::Values(2, 3));

// Matching a blob of another tracking class restarts the track: age 10 for a plain blob, 0 for
// any other kind, and the held objects are forgotten.
struct KindCase {
    uint32_t trackKind, blobKind;
    int ageAfter;
    bool heldKept;
};

class KindChange : public Tracking, public ::testing::WithParamInterface<KindCase> {};

TEST_P(KindChange, TrackRestartsWhenTheBlobsKindChanges) {
    const KindCase c = GetParam();
    ctx_->tracks[0] = TrackRecord{0.4f, 0.6f, 7, 0, 0, {0, 0}, 4, 0, c.trackKind, 0};
    ctx_->trackCount = 1;
    ctx_->transientCount = 1;
    ctx_->blobs[0] = SquareBlob(ctx_.get(), ScreenX(*model_, 0.4), ScreenY(*model_, 0.6), 8);
    ctx_->blobs[0].kind = c.blobKind;
    ctx_->blobCount = ctx_->workCount = 1;
    AssignBlobsID(ctx_.get());
    EXPECT_EQ(7, +ctx_->blobs[0].id);
    EXPECT_EQ(c.ageAfter, +ctx_->blobs[0].age);
    EXPECT_EQ(c.heldKept ? 1 : 0, +ctx_->transientCount);
}

INSTANTIATE_TEST_SUITE_P(Kinds, KindChange,
                         ::testing::Values(KindCase{0, 0, 5, true}, KindCase{1, 0, 11, false},
                                           KindCase{0, 1, 1, false}));

TEST_F(Tracking, SortByAgeMovesTheLastOlderBlobForward) {
    const int ages[] = {1, 5, 3, 2};
    for (int i = 0; i < 4; ++i) {
        ctx_->blobs[i] = SquareBlob(ctx_.get(), 0.5, 0.5, 8);
        ctx_->blobs[i].age = ages[i];
    }
    ctx_->outBlobs = ctx_->blobs;
    ctx_->outBlobCount = 4;
    SortByAge(ctx_.get());
    // Position 0 takes the last later blob older than age 1 (age 2); position 1 then holds
    // age 5 which nothing beats; position 2 (age 3) keeps its place, and so on.
    const int expected[] = {2, 5, 3, 1};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(expected[i], +ctx_->blobs[i].age) << i;
}

class PathSmoothing : public Tracking {};

TEST_F(PathSmoothing, TenFiveMillimetreStepsKeepNinePointsAndFortyMillimetres) {
    Path path;
    std::memset(&path, 0, sizeof(path));
    path.mmPerUnitX = static_cast<float>(mmX_);
    path.mmPerUnitY = static_cast<float>(mmY_);
    std::vector<ODPoint> points;
    for (int i = 0; i <= 10; ++i) {
        points.push_back(ODPoint{static_cast<float>(0.2 + i * 5.0 / mmX_), 0.5f});
        addPointToPath(&path, points.back());
        EXPECT_LE(+path.count, 9);
        EXPECT_LE(+path.lengthMM, 40.0f + 1e-3f);
    }
    ASSERT_EQ(9, +path.count);
    EXPECT_NEAR(40.0, path.lengthMM, 1e-3);
    double mean = 0;
    for (int i = 2; i <= 10; ++i) {
        EXPECT_FLOAT_EQ(points[i].x, path.pts[i - 2].x);
        mean += points[i].x / 9.0;
    }
    const ODPoint centre = smoothPath(&path);
    EXPECT_NEAR(mean, centre.x, 1e-5);
    EXPECT_NEAR(0.5, centre.y, 1e-6);

    // Long steps: 40 mm caps the path before nine points do.
    Path fast;
    std::memset(&fast, 0, sizeof(fast));
    fast.mmPerUnitX = static_cast<float>(mmX_);
    fast.mmPerUnitY = static_cast<float>(mmY_);
    for (int i = 0; i < 5; ++i)
        addPointToPath(&fast, ODPoint{static_cast<float>(0.1 + i * 15.0 / mmX_), 0.5f});
    EXPECT_EQ(3, +fast.count);
    EXPECT_NEAR(30.0, fast.lengthMM, 1e-3);
}

TEST_F(PathSmoothing, PushingIntoAFullPathMakesRoom) {
    Path path;
    std::memset(&path, 0, sizeof(path));
    path.mmPerUnitX = path.mmPerUnitY = 100.0f;
    for (int i = 0; i < 25; ++i) pushHistoryBlobs(&path, ODPoint{0.01f * i, 0.1f});
    EXPECT_EQ(PANORA_PATH_POINTS, +path.count);
    EXPECT_FLOAT_EQ(0.24f, path.pts[PANORA_PATH_POINTS - 1].x);
    EXPECT_NEAR(9.0, path.lengthMM, 1e-3);
}

TEST_F(PathSmoothing, OutputFollowsTheMeanAndPathsDieWithTheirFinger) {
    ctx_->outBlobs = ctx_->blobs;
    auto frame = [&](std::vector<std::pair<int, double>> idAndX) {
        for (size_t i = 0; i < idAndX.size(); ++i) {
            ctx_->blobs[i] = SquareBlob(ctx_.get(), idAndX[i].second, 0.5, 8);
            ctx_->blobs[i].id = idAndX[i].first;
        }
        ctx_->outBlobCount = static_cast<int>(idAndX.size());
        SmoothBlobs(ctx_.get());
    };
    const double step = 5.0 / mmX_;
    frame({{7, 0.3}});
    EXPECT_FLOAT_EQ(0.3f, ctx_->blobs[0].cx) << "a new path reports the centre as it is";
    frame({{7, 0.3 + step}});
    EXPECT_NEAR(0.3 + step / 2, ctx_->blobs[0].cx, 1e-6);
    frame({{7, 0.3 + 2 * step}, {9, 0.8}});
    EXPECT_NEAR(0.3 + step, ctx_->blobs[0].cx, 1e-6);
    EXPECT_EQ(2, +ctx_->smooth.pathCount);
    frame({{9, 0.8}});
    EXPECT_EQ(1, +ctx_->smooth.pathCount) << "finger 7 lifted: its path is gone";
    frame({{7, 0.6}, {9, 0.8}});
    EXPECT_FLOAT_EQ(0.6f, ctx_->blobs[0].cx) << "the same identity later starts afresh";
}

}  // namespace
