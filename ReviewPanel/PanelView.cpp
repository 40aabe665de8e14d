#include "ReviewPanel/PanelView.h"

namespace tavrin::panel {

namespace {

// One axis: the low margin (origin), the size and the high margin, with the
// flexible ones taking the change.
void resizeAxis(double& origin, double& size, double oldExtent, double newExtent, bool lowFlexible,
                bool sizeFlexible, bool highFlexible) {
    const double delta = newExtent - oldExtent;
    const double high = oldExtent - origin - size;
    const double parts[3] = {origin, size, high};
    const bool flexible[3] = {lowFlexible, sizeFlexible, highFlexible};
    double total = 0;
    int count = 0;
    for (int i = 0; i < 3; ++i)
        if (flexible[i]) {
            total += parts[i] > 0 ? parts[i] : 0;
            ++count;
        }
    if (count == 0 || delta == 0)
        return;
    auto share = [&](int i) {
        if (!flexible[i])
            return 0.0;
        if (total <= 0)
            return delta / count;
        return delta * (parts[i] > 0 ? parts[i] : 0) / total;
    };
    origin += share(0);
    size += share(1);
    if (size < 0)
        size = 0;
}

} // namespace

Rect autoresizedFrame(const Rect& frame, unsigned mask, const Rect& oldSuperview,
                      const Rect& newSuperview) {
    Rect out = frame;
    resizeAxis(out.x, out.width, oldSuperview.width, newSuperview.width, mask & ViewMinXMargin,
               mask & ViewWidthSizable, mask & ViewMaxXMargin);
    resizeAxis(out.y, out.height, oldSuperview.height, newSuperview.height, mask & ViewMinYMargin,
               mask & ViewHeightSizable, mask & ViewMaxYMargin);
    return out;
}

} // namespace tavrin::panel
