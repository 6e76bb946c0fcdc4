#pragma once

#include <QColor>
#include <QCoreApplication>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

#include "codec/RemoteFrame.h"
#include "harness/harness.h"

namespace veltra::test {

// A `width`×`height` 4:2:0 picture (AV_PIX_FMT_YUV420P or NV12, rows padded as decoders leave
// them) of equal vertical bars in `colours`, converted as `colorSpace` (BT.601 unless BT.709) and
// the range say, which the picture then signals.
std::shared_ptr<const RemoteFrame> barsPicture(int width, int height,
                                               const std::vector<QColor>& colours, int pixelFormat,
                                               int colorSpace, bool fullRange = false);

// Turns Qt's event loop until `done` holds or `patience` has passed; whether it held.
inline bool processUntil(const std::function<bool()>& done, Clock::duration patience = kPatience) {
  return waitUntil(done, patience,
                   [] { QCoreApplication::processEvents(QEventLoop::AllEvents, 10); });
}

// Whether `actual` is within `levels` of `expected` in every channel.
inline bool near(QColor actual, QColor expected, int levels = 4) {
  return std::abs(actual.red() - expected.red()) <= levels &&
         std::abs(actual.green() - expected.green()) <= levels &&
         std::abs(actual.blue() - expected.blue()) <= levels;
}

}  // namespace veltra::test
