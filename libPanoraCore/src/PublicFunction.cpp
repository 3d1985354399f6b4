// Polygon and point geometry used across the frame pipeline.
#include <cmath>
#include <cstring>

#include "BlobInternal.h"
#include "PanoraCore.h"

namespace panora {

namespace {

bool IsStraightXLine(const CoreContext* ctx, int line) {
    return line == ctx->linesY + ctx->halfLinesY;
}

}  // namespace

double BoundaryBase(const CoreContext* ctx, int led, int line) {
    if (IsYLine(ctx, line)) return static_cast<double>(led) * ctx->pitchY;
    return static_cast<double>(led - ctx->ledCountY - 1) * ctx->pitchX;
}

double BoundaryValue(const CoreContext* ctx, int line, ODPoint v) {
    const double s = ctx->lineSlope[line];
    if (IsYLine(ctx, line)) return static_cast<double>(v.y) - static_cast<double>(v.x) * s;
    if (IsStraightXLine(ctx, line) || s == 0.0) return v.x;
    return static_cast<double>(v.x) - static_cast<double>(v.y) / s;
}

void RectToBlob(const CoreContext* ctx, const ShadowRect& rect, _MINI_POLYGON* blob) {
    std::memset(blob, 0, sizeof(*blob));
    const float x0 = static_cast<float>(rect.x0 - ctx->ledCountY - 1) * ctx->pitchX;
    const float x1 = static_cast<float>(rect.x1 - ctx->ledCountY - 1) * ctx->pitchX;
    const float y0 = static_cast<float>(rect.y0) * ctx->pitchY;
    const float y1 = static_cast<float>(rect.y1) * ctx->pitchY;
    blob->pts[0] = ODPoint{x0, y0};
    blob->pts[1] = ODPoint{x1, y0};
    blob->pts[2] = ODPoint{x1, y1};
    blob->pts[3] = ODPoint{x0, y1};
    blob->ptCount = 4;
    blob->area = static_cast<float>(rect.x1 - rect.x0) * ctx->pitchX *
                 static_cast<float>(rect.y1 - rect.y0) * ctx->pitchY;
    blob->cx =
        static_cast<float>(rect.x0 + rect.x1 - 2 * (ctx->ledCountY + 1)) * ctx->pitchX * 0.5f;
    blob->cy = static_cast<float>(rect.y0 + rect.y1) * ctx->pitchY * 0.5f;
    // Later steps (size filter, large-blob drop) read the bounding box of every blob.
    blob->width = x1 - x0;
    blob->height = y1 - y0;
    blob->id = -1;
    blob->age = -1;
}

double MmDistance(const CoreContext* ctx, ODPoint a, ODPoint b) {
    const double dx = static_cast<double>(b.x) - a.x;
    const double dy = static_cast<double>(b.y) - a.y;
    const double kx = static_cast<double>(ctx->mmPerLed) / ctx->pitchX;
    const double ky = static_cast<double>(ctx->mmPerLed) / ctx->pitchY;
    return std::sqrt(dx * dx * kx * kx + dy * dy * ky * ky);
}

}  // namespace panora

using panora::kMaxVertices;

namespace {
// Edges whose directions differ by less than this count as parallel and equally oriented.
constexpr float kSameAngleDeg = 0.01f;
}  // namespace

using panora::kPolygonSlots;

extern "C" {

float GetDistancePointToPoint(ODPoint* a, ODPoint* b) {
    const double dx = static_cast<double>(b->x) - a->x;
    const double dy = static_cast<double>(b->y) - a->y;
    return static_cast<float>(std::sqrt(dx * dx + dy * dy));
}

float GetDistancePointToPointByMMCtx(CoreContext* ctx, ODPoint* a, ODPoint* b) {
    return static_cast<float>(panora::MmDistance(ctx, *a, *b));
}

float PolygonArea(_MINI_POLYGON poly) {
    const int n = poly.ptCount > kMaxVertices ? kMaxVertices : poly.ptCount;
    if (n < 3) return 0.0f;
    double sum = 0.0;
    for (int i = 0; i < n; ++i) {
        const ODPoint& prev = poly.pts[(i + n - 1) % n];
        const ODPoint& cur = poly.pts[i];
        sum += static_cast<double>(prev.x) * cur.y - static_cast<double>(cur.x) * prev.y;
    }
    return static_cast<float>(std::fabs(sum) * 0.5);
}

float GetPolygonSize(_MINI_POLYGON* poly) {
    const int n = poly->ptCount > kMaxVertices ? kMaxVertices : poly->ptCount;
    if (n == 0) {
        poly->width = poly->height = 0.0f;
        poly->kind = 0;
        poly->area = 0.0f;
        return 0.0f;
    }
    float minX = poly->pts[0].x, maxX = minX, minY = poly->pts[0].y, maxY = minY;
    for (int i = 1; i < n; ++i) {
        minX = std::fmin(minX, poly->pts[i].x);
        maxX = std::fmax(maxX, poly->pts[i].x);
        minY = std::fmin(minY, poly->pts[i].y);
        maxY = std::fmax(maxY, poly->pts[i].y);
    }
    poly->width = maxX - minX;
    poly->height = maxY - minY;
    poly->cx = (minX + maxX) * 0.5f;
    poly->cy = (minY + maxY) * 0.5f;
    poly->kind = 0;
    poly->area = PolygonArea(*poly);
    return poly->area;
}

void removeSameVertex(CoreContext* /*ctx*/, _MINI_POLYGON* poly) {
    int n = poly->ptCount > kMaxVertices ? kMaxVertices : poly->ptCount;
    int i = 0;
    while (i < n && n > 1) {
        const int next = (i + 1) % n;
        ODPoint a = poly->pts[i];
        ODPoint b = poly->pts[next];
        if (GetDistancePointToPoint(&a, &b) < panora::kGeomEps) {
            for (int k = next; k + 1 < n; ++k) poly->pts[k] = poly->pts[k + 1];
            --n;
        }
        ++i;
    }
    poly->ptCount = static_cast<uint8_t>(n);
}

void DeletePoly(CoreContext* ctx, uint8_t index) {
    const int count = ctx->workCount;
    if (index >= count || count > kPolygonSlots) return;
    std::memmove(&ctx->blobs[index], &ctx->blobs[index + 1],
                 sizeof(ctx->blobs[0]) * static_cast<size_t>(count - 1 - index));
    ctx->workCount = count - 1;
}

void InsertPoly(CoreContext* ctx, uint8_t index, _MINI_POLYGON poly) {
    int count = ctx->workCount;
    if (count < 0) count = 0;
    if (count > panora::kMaxPolygons) count = panora::kMaxPolygons;
    if (count < panora::kMaxPolygons) ++count;
    if (index >= count) return;
    // With the table full the last polygon falls off the end.
    std::memmove(&ctx->blobs[index + 1], &ctx->blobs[index],
                 sizeof(ctx->blobs[0]) * static_cast<size_t>(count - 1 - index));
    ctx->blobs[index] = poly;
    ctx->workCount = count;
}

uint32_t isOnSameSide(ODPoint p1, ODPoint p2, ODPoint a, ODPoint b) {
    const double ex = static_cast<double>(b.x) - a.x, ey = static_cast<double>(b.y) - a.y;
    const double c1 =
        ex * (static_cast<double>(p1.y) - a.y) - ey * (static_cast<double>(p1.x) - a.x);
    const double c2 =
        ex * (static_cast<double>(p2.y) - a.y) - ey * (static_cast<double>(p2.x) - a.x);
    return c1 * c2 >= 0.0 ? 1u : 0u;
}

int32_t VertexAtLineSide(CoreContext* ctx, int32_t led, uint8_t line, ODPoint v) {
    if (!panora::ValidLine(ctx, line)) return 1;
    const double base = panora::BoundaryBase(ctx, led, line);
    const double s = ctx->lineSlope[line];
    if (panora::IsYLine(ctx, line)) return base + static_cast<double>(v.x) * s > v.y ? -1 : 1;
    const double bx = (s == 0.0) ? base : base + static_cast<double>(v.y) / s;
    return bx > v.x ? -1 : 1;
}

uint32_t LinesEncounterTestByPoint(ODPoint a, ODPoint b, ODPoint c, ODPoint d) {
    if (std::fabs(static_cast<double>(a.x) - b.x) < panora::kGeomEps) {
        return (static_cast<double>(c.x) - a.x) * (static_cast<double>(d.x) - a.x) <= 0.0 ? 1u : 0u;
    }
    const double k = (static_cast<double>(b.y) - a.y) / (static_cast<double>(b.x) - a.x);
    const double base = a.y - k * a.x;
    const double ic = c.y - k * c.x;
    const double id = d.y - k * d.x;
    return (ic - base) * (id - base) <= 0.0 ? 1u : 0u;
}

float getAngleTrig(float dx, float dy) {
    const double pi = 3.1415926;
    if (dx == 0.0f) return dy >= 0.0f ? 90.0f : 270.0f;
    if (dy == 0.0f) return dx > 0.0f ? 0.0f : 180.0f;
    double deg = std::atan(static_cast<double>(dy) / dx) * 180.0 / pi;
    if (dx < 0.0f) {
        deg += 180.0;
    } else if (dy < 0.0f) {
        deg += 360.0;
    }
    return static_cast<float>(deg);
}

uint32_t AtSameAngle(_MINI_POLYGON* polygon, int32_t i, int32_t j) {
    const int n = polygon->ptCount > kMaxVertices ? kMaxVertices : polygon->ptCount;
    if (n < 2 || i < 0 || j < 0 || i >= n || j >= n) return 0;
    const ODPoint a0 = polygon->pts[i], a1 = polygon->pts[(i + 1) % n];
    const ODPoint b0 = polygon->pts[j], b1 = polygon->pts[(j + 1) % n];
    const float da = getAngleTrig(a1.x - a0.x, a1.y - a0.y);
    const float db = getAngleTrig(b1.x - b0.x, b1.y - b0.y);
    float diff = std::fabs(da - db);
    if (diff > 180.0f) diff = 360.0f - diff;
    return diff <= kSameAngleDeg ? 1u : 0u;
}

void FixSplitPoint(CoreContext* /*ctx*/) {}

}  // extern "C"
