#pragma once

// Pictures of known colours and an event-loop wait for the tests of the Qt layer and the view.

#include <QColor>
#include <QCoreApplication>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

#include "codec/RemoteFrame.h"
#include "harness/harness.h"

namespace veltra::test {

// A `width`×`height` 4:2:0 picture of equal vertical bars in `colours`, converted with the
// matrix of `colorSpace` (an AVColorSpace, BT.601 unless BT.709), limited range, which the
// picture then signals. `pixelFormat` is AV_PIX_FMT_YUV420P or AV_PIX_FMT_NV12. Rows are padded
// beyond the width, as decoders leave them.
std::shared_ptr<const RemoteFrame> barsPicture(int width, int height,
                                               const std::vector<QColor>& colours, int pixelFormat,
                                               int colorSpace);

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
