#pragma once

// Pictures of known colours and event-loop helpers for the view's tests on Xvfb.

#include <QColor>
#include <QImage>
#include <functional>
#include <memory>
#include <vector>

#include "codec/RemoteFrame.h"

namespace veltra::test {

// A `width`×`height` 4:2:0 picture of equal vertical bars in `colours`, converted as the host's
// capture does (BT.601, limited range) or with the matrix of `colorSpace` (an AVColorSpace),
// which the picture then signals. `pixelFormat` is AV_PIX_FMT_YUV420P or AV_PIX_FMT_NV12. Rows
// are padded beyond the width, as decoders leave them.
std::shared_ptr<const RemoteFrame> barsPicture(int width, int height,
                                               const std::vector<QColor>& colours, int pixelFormat,
                                               int colorSpace);

// Spins Qt's event loop until `condition` holds or `milliseconds` pass; whether it held.
bool processUntil(const std::function<bool()>& condition, int milliseconds = 5000);
void processFor(int milliseconds);

// Whether `actual` is within `levels` of `expected` in every channel.
bool near(QColor actual, QColor expected, int levels = 4);

}  // namespace veltra::test
