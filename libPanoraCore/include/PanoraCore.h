/*
 * PanoraCore.h - public interface of libPanoraCore, the frame-processing library.
 *
 * The library turns raw beam scans of an infrared touch frame into a short list of touch
 * polygons with stable identities in normalised screen coordinates (0..1, y downwards).
 *
 * Ownership: all per-device state lives in one CoreContext that the caller allocates
 * (sizeof(CoreContext)), owns and frees; the library keeps no per-device state elsewhere,
 * has no threads, no locks and no files of its own (apart from the explicit background
 * save/reload calls). Raw buffers handed in stay owned by the caller and are only read during
 * the call. A context is used by one thread at a time; distinct contexts may run concurrently.
 *
 * Calling order: allocate a context; set padLedsX/padLedsY; OrdaloScreenSetup (returns 0 and
 * leaves the context not ready for a geometry beyond the limits below); set fastFrame,
 * eraseBackground, penEnabled; OrdaloScreenCalibration; then per raw frame OrdaloDataFill,
 * OrdaloDataFix, OrdaloUpdateBlobs and read outBlobCount polygons from outBlobs.
 *
 * Units: coordinates are normalised to the frame (0..1); distances noted "MM" are millimetres
 * derived from mmPerLed. Beam words: bit 1 = beam arrived, 0 = blocked.
 *
 * All records are packed (no padding) and shared byte for byte between the library and its
 * callers. Scalar fields of a context are therefore often unaligned: read and write them by
 * name (ctx->outBlobCount), never through a pointer or reference to the field (C++ code that
 * passes a field to a function taking const T&, such as std::min or a test macro, should pass
 * a copy). Pointers to whole records (_MINI_POLYGON*, ODPoint*) are fine. The functions below
 * that take a uint16_t* expect an ordinary, aligned array.
 */
#ifndef PANORA_CORE_H
#define PANORA_CORE_H

#include <stdint.h>

#if defined(_WIN32)
#define PANORA_API __declspec(dllexport)
#else
#define PANORA_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Limits of the library (fixed by the context layout) ---------------------------------- */

#define PANORA_MAX_ENTRIES 1024       /* ledCountX + ledCountY, virtual LEDs included */
#define PANORA_MAX_BEAMS 14336        /* beams over all entries and lines */
#define PANORA_MAX_LINES 15           /* lines per LED: one bit each in a 16-bit beam word */
#define PANORA_SLOPE_COUNT 30         /* entries of the line slope table */
#define PANORA_MAX_TRAN70_ENTRIES 576 /* physical entries of the one-byte emitter-side model */
#define PANORA_MAX_POLYGONS 100       /* polygon slots of a context */
#define PANORA_DETECT_POLYGONS 99     /* polygons detection fills at most */
#define PANORA_MAX_VERTICES 60        /* vertices of one polygon */
#define PANORA_MAX_IDS 48             /* touch identities 0..47 */
#define PANORA_MAX_TRACKS 100         /* tracked objects */
#define PANORA_MAX_RECTS 10000        /* shadow rectangles of one frame */
#define PANORA_MAX_BEAM_BLOBS 10      /* polygons recorded per beam */
#define PANORA_VOTE_WORDS 91          /* words per polygon in blobVotes (the first counts votes) */
#define PANORA_HISTORY_SLOTS 502      /* scanHistory slots allocated */
#define PANORA_HISTORY_WINDOW 500     /* scanHistory slots in use: the background window */
#define PANORA_BACKGROUND_START 101   /* first frame (frameCounter) that teaches the background */
#define PANORA_TEMPBUF_SIZE 2048      /* decompression buffer */
#define PANORA_MAX_RAW 2048           /* largest raw frame a caller passes */
#define PANORA_PATH_POINTS 10         /* points of one smoothing path */
#define PANORA_MAX_PATHS 100          /* smoothing paths of one context */
#define PANORA_CARVE_BUDGET 60000     /* carving work one frame's detection may do (see carveWork) */
/* The budget of a geometry: every line family carves, so frames of fingers cost more on frames
 * with more families; beyond 14 (linesX + linesY) the budget grows in proportion. */
#define PANORA_CARVE_BUDGET_FOR(linesX, linesY)                                            \
    ((linesX) + (linesY) > 14 ? (long)PANORA_CARVE_BUDGET * ((linesX) + (linesY)) / 14 \
                              : (long)PANORA_CARVE_BUDGET)
/* Refinement work of one frame per line family (see refineWork): about one and a half times
 * what the busiest frame of two hands costs. */
#define PANORA_REFINE_BUDGET_PER_FAMILY 1000

#pragma pack(push, 1)

/* One point, normalised units. */
typedef struct ODPoint {
    float x;
    float y;
} ODPoint;

/* Set-up record: 14 consecutive 32-bit words, read once by OrdaloScreenSetup. */
typedef struct SetupParams {
    float screenInches; /* screen diagonal, inches */
    int32_t ledsX;      /* physical LEDs along X */
    int32_t ledsY;      /* physical LEDs along Y */
    int32_t linesX;     /* lines per X LED (odd; the middle one is the straight beam) */
    int32_t linesY;     /* lines per Y LED */
    int32_t ledGapX;    /* LED spacing between adjacent lines of an X LED */
    int32_t ledGapY;    /* same for Y */
    float frameWidth;   /* scan area width, normalised (the service passes 1.0) */
    float frameHeight;  /* scan area height, normalised (the service passes 1.0) */
    float pairGate;     /* match distance of the two-track rule */
    float minBlobSize;  /* not read */
    float maxBlobSize;  /* copied into the context only */
    uint32_t maxBlobs;  /* copied into the context only */
    uint32_t reserved;  /* not read */
} SetupParams;

/* One blob (touch polygon). */
typedef struct _MINI_POLYGON {
    ODPoint pts[PANORA_MAX_VERTICES]; /* vertices in order around the polygon */
    uint8_t ptCount;                  /* vertices in use */
    float cx, cy;                     /* middle of the vertices' bounding box */
    float area;                       /* shoelace area, normalised units squared */
    int32_t id;                       /* identity 0..47, -1 while unassigned */
    float width, height;              /* bounding-box size */
    float vx, vy;                     /* velocity per frame */
    uint32_t trueFlag;                /* 1 = confirmed real by ghost removal */
    uint32_t hitCount;                /* beams only this polygon explains */
    int32_t missedFrames;             /* frames without a match while held */
    int32_t age;                      /* frames tracked; -1 for a new blob */
    uint32_t kind;                    /* tracking class; detection writes 0 */
    uint32_t stillFrames;             /* consecutive frames with zero velocity */
} _MINI_POLYGON;

/* A rectangle of blocked straight beams: x0/x1 stored as ledCountY + 1 + X LED index
 * (x1 one past the last), y0/y1 Y LED indexes (y1 one past). */
typedef struct ShadowRect {
    int32_t x0;
    int32_t x1;
    int32_t y0;
    int32_t y1;
} ShadowRect;

/* One tracked object; a negative id marks a track already matched in the current frame. */
typedef struct TrackRecord {
    float x;
    float y;
    int32_t id;
    float vx;
    float vy;
    uint32_t spare[2];
    int32_t age;
    int32_t missed;
    uint32_t kind;
    uint32_t still;
} TrackRecord;

/* Polygons lying across one blocked beam; count -1 marks a beam already explained. */
typedef struct BeamHits {
    int32_t count;
    int32_t blob[PANORA_MAX_BEAM_BLOBS];
} BeamHits;

/* Band of arrived slanted beams used to carve polygons. For a Y line (line < linesX) a and b
 * are Y LED indexes; for an X line they are stored as ledCountY + 1 + X LED index. line
 * indexes lineSlope. */
typedef struct BeamBand {
    int32_t a;
    int32_t b;
    int32_t line;
} BeamBand;

/* Where a polygon edge meets a band boundary. */
typedef struct EdgeCrossing {
    ODPoint point;
    uint8_t edgeFrom;
    uint8_t edgeTo;
    uint32_t atVertex; /* 1 when the crossing lies on the edge's start vertex */
} EdgeCrossing;

/* One beam: an entry (LED word index) and a line (bit) of it. */
typedef struct BeamRef {
    int32_t entry;
    int32_t line;
} BeamRef;

/* Recent centres of one finger, for smoothing. */
typedef struct Path {
    ODPoint pts[PANORA_PATH_POINTS]; /* oldest first */
    int32_t valid[PANORA_PATH_POINTS];
    int32_t count;
    int32_t id;
    float sumX, sumY;
    float lengthMM;
    uint32_t alive; /* 1 = matched in the current frame */
    uint32_t spare;
    float mmPerUnitX, mmPerUnitY; /* millimetres per normalised unit */
} Path;

typedef struct SmoothContext {
    Path paths[PANORA_MAX_PATHS];
    int32_t pathCount;
} SmoothContext;

/* The process-wide smoothing switch (exported as g_smi). */
typedef struct SmoothInfo {
    SmoothContext unused; /* not used for paths: every context holds its own */
    uint32_t smoothEnabled;
    uint8_t reserved[8];
} SmoothInfo;

/* State of one frame device. Fields up to runsY are shared with callers in this order; the
 * fields after them are the library's own working state. */
typedef struct CoreContext {
    int32_t ledCountX, ledCountY; /* LEDs per axis, virtual ones included */
    float pitchX, pitchY;         /* frameWidth/ledCountX, frameHeight/ledCountY */
    int32_t ledGapX, ledGapY;
    float frameWidth, frameHeight;
    int32_t linesX, linesY;
    int32_t halfLinesX, halfLinesY;
    float screenInches;
    uint32_t ready; /* 1 after a successful setup */
    ODPoint calPoints[4];
    float calRatioX, calRatioY;
    uint8_t findMode; /* blob-search mode 1..4 */
    _MINI_POLYGON blobs[PANORA_MAX_POLYGONS];
    int32_t blobCount;
    int32_t workCount;
    float lineSlope[PANORA_SLOPE_COUNT];
    TrackRecord tracks[PANORA_MAX_TRACKS];
    uint8_t idInUse[PANORA_MAX_IDS];
    uint32_t frameCounter; /* frames seen by OrdaloDataFix since setup */
    int32_t trackCount;
    uint32_t lastId;
    uint32_t maxBlobs;
    float maxBlobSize;
    float pairGate;
    float minArea;
    _MINI_POLYGON* outBlobs; /* result: points at blobs */
    int32_t outBlobCount;    /* result: number of result blobs (the caller may lower it) */
    uint16_t scan[PANORA_MAX_ENTRIES];       /* beam words of the current frame */
    uint16_t background[PANORA_MAX_ENTRIES]; /* 1 = beam usable, 0 = background */
    uint16_t recordMask[PANORA_MAX_ENTRIES];
    uint32_t recordingBackground;
    int32_t entryCount;
    uint32_t fastFrame;
    uint32_t eraseBackground;
    BeamHits beamHits[PANORA_MAX_BEAMS];
    int32_t blobVotes[PANORA_MAX_POLYGONS][PANORA_VOTE_WORDS];
    int32_t padLedsX, padLedsY; /* virtual LEDs per side; set by the caller before setup */
    float cornerRadius;
    _MINI_POLYGON transients[PANORA_MAX_POLYGONS];
    int32_t transientCount;
    uint32_t penEnabled;
    int32_t beamBalance[PANORA_MAX_BEAMS]; /* blocked minus arrived over the window */
    uint16_t scanHistory[PANORA_HISTORY_SLOTS][PANORA_MAX_ENTRIES];
    int32_t historySlot;
    uint32_t dropLargeBlobs;
    uint32_t rectRefined;
    SmoothContext smooth;
    SmoothContext* smoothPtr;
    ShadowRect rects[PANORA_MAX_RECTS];
    int32_t rectCount;
    float mmPerLed; /* millimetres per LED step along the diagonal */
    uint32_t mirrorX, mirrorY;
    ODPoint frameTri[6]; /* two source triangles: points 0-2 and 3-5 */
    ODPoint mapCentre;   /* (0,0) = no mapping */
    ODPoint screenTri[6];
    int32_t deadBeam;
    int32_t lastFrameBlobs;
    int32_t runsX, runsY;

    /* Library-private working state. */
    uint8_t decompressBuf[PANORA_TEMPBUF_SIZE]; /* per-context decompression buffer */
    int32_t physLedsX, physLedsY;               /* physical LEDs, from setup */
    int32_t setupPadX, setupPadY;               /* virtual LEDs per side, from setup */
    uint32_t scanFresh;    /* 1 = OrdaloDataFill decoded a frame that OrdaloDataFix has not seen */
    uint32_t historyCount; /* frames stored in scanHistory, up to the window */
    /* Carving work of the last detection: polygon vertices side-tested against a band, ten per
     * vertex of a polygon walked and cut. Detection stops once it passes the geometry's
     * PANORA_CARVE_BUDGET_FOR and drops the rectangle it was carving, so a hostile scan costs a bounded time. */
    int32_t carveWork;
    /* Refinement work of the last frame: per blob placed, four per line family and one per line
     * family and neighbour it was compared with. Past PANORA_REFINE_BUDGET_PER_FAMILY times the
     * families, the remaining blobs keep the centres they have. */
    int32_t refineWork;
} CoreContext;

#pragma pack(pop)

/* ---- Exported data ------------------------------------------------------------------------ */

PANORA_API extern SmoothInfo g_smi; /* smoothEnabled: set by every setup, read per frame */
PANORA_API extern uint8_t tempbuf[PANORA_TEMPBUF_SIZE]; /* kept for compatibility; the
                                                           decoders use each context's own */
PANORA_API extern int32_t debugflag;  /* 1 initially; ghost removal sets 0; never read */
PANORA_API extern int32_t a[10];      /* -1 each; not used */
PANORA_API extern uint8_t blobs[64];  /* not used */
PANORA_API extern int32_t blobnumber; /* not used */
PANORA_API extern int32_t number;     /* not used */

/* ---- Interface, set-up and pipeline ------------------------------------------------------- */

/* Prepares ctx for the geometry in p (ctx->padLedsX/Y are read). Returns 1 when ready; 0, with
 * ready = 0, when the geometry exceeds the limits above or is not usable (no LEDs, lines
 * outside 1..15 or even, more lines on either side of an X LED's straight beam than of a Y
 * LED's, gaps below 1 or above the physical LED count of their axis, non-positive sizes, or more than 576 physical entries for the one-byte
 * emitter-side 7-line model). */
PANORA_API uint32_t OrdaloScreenSetup(CoreContext* ctx, SetupParams* p);
/* Stores the device's calibration points and ratios; they do not change the screen mapping.
 * Returns 1. */
PANORA_API uint32_t OrdaloScreenCalibration(CoreContext* ctx, ODPoint p0, ODPoint p1, ODPoint p2,
                                            ODPoint p3);
/* Decodes one raw frame into ctx->scan. A frame shorter than its model needs is ignored: the
 * previous scan stays. */
PANORA_API void OrdaloDataFill(CoreContext* ctx, const uint8_t* raw, uint32_t rawLength);
/* Corrects polarity and bit/line order of a freshly decoded frame, inserts the virtual LEDs
 * and teaches the background; counts the frame. */
PANORA_API void OrdaloDataFix(CoreContext* ctx);
/* Per-frame pipeline. Returns 0 when ctx is not ready (nothing changes), else 1. */
PANORA_API uint32_t OrdaloUpdateBlobs(CoreContext* ctx);
/* Fills lineSlope and resets identities. Returns 1. */
PANORA_API uint32_t iniScreen(CoreContext* ctx);

/* ---- Raw frame decoding and data fix ------------------------------------------------------ */

/* 15-line model with 7 measured lines: byte e's bits 0..6 become bits 1,3,..,13 of entry e. */
PANORA_API void OrdaloDataFillHP(CoreContext* ctx, const uint8_t* raw, uint32_t rawLength);
PANORA_API void OrdaloDataFix22(CoreContext* ctx);
PANORA_API void OrdaloDataFix55(CoreContext* ctx);
PANORA_API void OrdaloDataFixHP_PC(CoreContext* ctx);
PANORA_API void OrdaloDataFixHP_MCU(CoreContext* ctx);
/* Rotates the low `width` bits of *word by count (>= 0: right, < 0: left); higher bits may
 * keep leftovers. Widths 0 and above 16 leave the word unchanged. */
PANORA_API void CycShift(uint16_t* word, uint8_t width, int8_t count);
/* Byte run-length decoder. Returns the bytes written, or 0 on error (output full, input
 * truncated). Never writes more than dstCapacity bytes. */
PANORA_API uint32_t frgDecompress(uint8_t* dst, uint32_t dstCapacity, const uint8_t* src,
                                  uint32_t srcLength);
/* Decoders of one model each. raw must hold the model's full frame; scan must hold
 * nX + nY + 2 words. Nothing happens beyond PANORA_MAX_ENTRIES entries. */
PANORA_API void data_tran21_5(const uint8_t* raw, uint16_t* scan, int32_t nX, int32_t nY,
                              int32_t gX, int32_t gY);
PANORA_API void data_tranTR48(const uint8_t* raw, uint16_t* scan, int32_t nX, int32_t nY,
                              int32_t gX, int32_t gY);
/* Does nothing beyond PANORA_MAX_TRAN70_ENTRIES entries; raw is not modified. */
PANORA_API void data_tran70_82(const uint8_t* raw, uint16_t* scan, int32_t nX, int32_t nY,
                               int32_t gX, int32_t gY);
PANORA_API void data_tran120(CoreContext* ctx, const uint8_t* raw, uint32_t rawLength);
PANORA_API void data_tran19(CoreContext* ctx);

/* ---- Background model --------------------------------------------------------------------- */

PANORA_API void updatebackgrounddata(CoreContext* ctx);
PANORA_API void RemoveBackground(CoreContext* ctx);
PANORA_API void addToBackground(CoreContext* ctx);
PANORA_API void OrdaloStartRecordBackgroud(CoreContext* ctx);
/* Background file: entryCount little-endian 16-bit words, no header. These return 0 on
 * success and -1 on failure (file not opened, short read or write, close failed). A short
 * file still loads the words it holds. */
PANORA_API int32_t OrdaloStopRecordBackgroud(CoreContext* ctx, const char* path);
PANORA_API int32_t OrdaloSaveBackgroudData(CoreContext* ctx, const char* path);
PANORA_API int32_t OrdaloReloadBackgroudData(CoreContext* ctx, const char* path);

/* ---- Blob detection and polygon geometry -------------------------------------------------- */

/* Detection fills at most 99 polygons and 10000 rectangles; a frame of a single small shadow
 * (one run of blocked straight beams on each axis) is taken as a rectangle without carving, and
 * counts as a frame with touches for the background like any other. Carving stops for a
 * rectangle once all its fragments died, and for the frame once carveWork passes
 * PANORA_CARVE_BUDGET_FOR (linesX, linesY). */
PANORA_API void findBlobs_Improved(CoreContext* ctx);
PANORA_API void GetBlobsFormRect(CoreContext* ctx, ShadowRect* rect);
/* Returns the index step: 0 = polygon deleted, 1 = kept or replaced, 2 = split in two. A carve
 * that would leave a part of more than 60 vertices is not applied (the polygon stays whole);
 * a part with fewer than 3 vertices counts as nothing left on that side. */
PANORA_API uint32_t PolygonSubPallelograms(CoreContext* ctx, uint8_t polygonIndex, BeamBand* band);
PANORA_API uint32_t LinesIsEncounter(CoreContext* ctx, int32_t led, uint8_t line,
                                     EdgeCrossing* crossing, ODPoint p, ODPoint q);
PANORA_API uint32_t PointInArea(CoreContext* ctx, BeamBand* band, ODPoint* v);
PANORA_API void removeSameVertex(CoreContext* ctx, _MINI_POLYGON* polygon);
PANORA_API void InsertPoly(CoreContext* ctx, uint8_t index, _MINI_POLYGON polygon);
PANORA_API void DeletePoly(CoreContext* ctx, uint8_t index);
PANORA_API float GetPolygonSize(_MINI_POLYGON* polygon);
PANORA_API float PolygonArea(_MINI_POLYGON polygon);
PANORA_API float GetDistancePointToPoint(ODPoint* p, ODPoint* q);
PANORA_API uint32_t isOnSameSide(ODPoint p1, ODPoint p2, ODPoint a, ODPoint b);
PANORA_API int32_t VertexAtLineSide(CoreContext* ctx, int32_t led, uint8_t line, ODPoint v);
PANORA_API uint32_t LinesEncounterTestByPoint(ODPoint a, ODPoint b, ODPoint c, ODPoint d);
PANORA_API float getAngleTrig(float dx, float dy);
/* 1 when edges i and j of the polygon point the same way (directions within 0.01 degree);
 * 0 for an edge index outside the polygon. */
PANORA_API uint32_t AtSameAngle(_MINI_POLYGON* polygon, int32_t i, int32_t j);
PANORA_API void FixSplitPoint(CoreContext* ctx);
/* Among the unexplained beams crossed by exactly n polygons, marks the polygon lying on most of
 * them as real and its beams as explained; *found = 1 when one was marked, else 0. Works on the
 * beam records of the last ghost-removal pass. */
PANORA_API void FindBlobsFun(CoreContext* ctx, int32_t n, uint32_t* found);

/* ---- False-blob removal ------------------------------------------------------------------- */

/* Ghost removal of the pipeline. A beam records the first 10 polygons lying across it; further
 * polygons are ignored for that beam. Of three candidates from two rows of shadows, the one
 * facing the longest side is dropped as a crossing unless it lies alone across as many blocked
 * beams as a confirmed polygon needs (then it is a third finger and all three stay). */
PANORA_API void RemoveFalseBlobsEx2(CoreContext* ctx);
/* Older forms, not used by the pipeline. RemoveFalseBlobs: drops polygons below minArea, a
 * polygon where a close row neighbour's row meets a close column neighbour's column (both at
 * least as large), and all but the first polygon near each frame corner. RemoveFalseBlobsEx:
 * unique beams, then FindBlobsFun for n = 1..10; no merging. RemoveFalseBlobsEx1: as Ex2 with
 * one unique-beam threshold everywhere. EdgeProcess: two polygons within 3 pitches near the same
 * frame edge become one at their midpoint. MaskPoint: with enable, drops polygons of 100 LED
 * cells or more. staticBlobsFilter: a lone output blob still for over 1000 frames is hidden. */
PANORA_API void RemoveFalseBlobs(CoreContext* ctx);
PANORA_API void RemoveFalseBlobsEx(CoreContext* ctx);
PANORA_API void RemoveFalseBlobsEx1(CoreContext* ctx);
PANORA_API void EdgeProcess(CoreContext* ctx);
PANORA_API void MaskPoint(CoreContext* ctx, uint32_t enable);
PANORA_API void staticBlobsFilter(CoreContext* ctx);

/* ---- Tracking, identities and smoothing --------------------------------------------------- */

/* Maps the blobs to the screen, then gives each an identity; at most 48 blobs are kept. While a
 * frame is matched, a matched track holds its id as -1 - id (so identity 0 is marked as well);
 * between calls no track or held object carries the mark. A new blob never takes the identity
 * of a finger held while missing, unless all 48 are taken. AssignBlobsID1 (older, unused):
 * nearest last position within 60 mm, without prediction or preferences. */
PANORA_API void AssignBlobsID(CoreContext* ctx);
PANORA_API void AssignBlobsID1(CoreContext* ctx);
/* Next free identity in cyclic order (the first after set-up is 1); -1 when all 48 are taken. */
PANORA_API int32_t GetId(CoreContext* ctx);
/* Holds at most 100 objects; a new finger beyond that is not tracked until a slot frees. */
PANORA_API void TransientBlobs(CoreContext* ctx, int32_t maxMissed, int32_t minAge);
PANORA_API void SortByAge(CoreContext* ctx);
/* Keeps at most 100 paths; a blob without a path keeps its centre. */
PANORA_API void SmoothBlobs(CoreContext* ctx);
/* Keeps at most 9 points and 40 mm of path (lengths are float sums: 1 um of slack). */
PANORA_API void addPointToPath(Path* path, ODPoint p);
/* A full path (10 points) drops its oldest point first. */
PANORA_API void pushHistoryBlobs(Path* path, ODPoint p);
PANORA_API void shiftHistoryBlobs(Path* path);
PANORA_API ODPoint smoothPath(Path* path);
PANORA_API void delPath(SmoothContext* sc, int32_t index);
/* Millimetre distance with the path's mmPerUnitX/Y. */
PANORA_API float GetDistancePointToPointByMM(Path* path, ODPoint* p, ODPoint* q);
/* Millimetre distance with the context's mmPerLed and pitches (the context form of the above;
 * C has no overloading). */
PANORA_API float GetDistancePointToPointByMMCtx(CoreContext* ctx, ODPoint* p, ODPoint* q);

/* ---- Calibration and screen mapping ------------------------------------------------------- */

/* a0, a1, a3: reference points; a4..a7: the measured quadrilateral (a2 is not read). Returns
 * 1; returns 0 and switches the mapping off when the reference points are degenerate. */
PANORA_API uint32_t OrdaloScreenCalibrationEx(CoreContext* ctx, ODPoint a0, ODPoint a1, ODPoint a2,
                                              ODPoint a3, ODPoint a4, ODPoint a5, ODPoint a6,
                                              ODPoint a7);
/* Mirrors, margin-corrects, maps and clamps every blob centre; drops blobs outside the map. */
PANORA_API void CalibrationPoints(CoreContext* ctx);
/* Returns 2 (first triangle), 5 (second) or 0 (outside both; *p becomes (-1, -1)). */
PANORA_API uint32_t touchFrameToScreenSpace(CoreContext* ctx, ODPoint* p);
PANORA_API uint32_t isPointInTriangle(ODPoint p, ODPoint a, ODPoint b, ODPoint c);
/* Crossing of line p1-p2 with line q1-q2; (0, 0) for axis-parallel or parallel lines. */
PANORA_API ODPoint getLinesEncouterPoint(ODPoint p1, ODPoint p2, ODPoint q1, ODPoint q2);
PANORA_API float Matrix3Pt(ODPoint a, ODPoint b, ODPoint c);

/* ---- Single-touch mode -------------------------------------------------------------------- */

/* Neighbouring LEDs outside the axis's own LED block are not counted. */
PANORA_API void SingleTouchEx(CoreContext* ctx);
/* Sub-LED refinement, the pipeline's step after the lone-touch rescue: moves each blob's centre
 * (cx, cy only) to the centroid of the positions and radii for which a disc blocks exactly the
 * runs of beams seen in every line family around it (existing, usable beams only). A blob keeps
 * its centre when fewer than three families agree on a radius, when no position fits them all,
 * or when the refined centre lies more than 1.5 LED steps away. */
PANORA_API void RefineBlobCentres(CoreContext* ctx);
/* Older estimator (unused): needs max(minBeams, 5 on 42 inches or more, else 2) blocked usable
 * beams per axis; the blob it makes is one pitch square, kind 1. */
PANORA_API void SingleTouch(CoreContext* ctx, int32_t minBeams);
/* Crossing of the two beams' centre lines (line = bit of the entry's word); (-1, -1) for
 * parallel beams or entries outside the frame. */
PANORA_API ODPoint Mini_Point_To_Point(CoreContext* ctx, BeamRef b1, BeamRef b2);

#ifdef __cplusplus
}
#endif

#endif /* PANORA_CORE_H */
