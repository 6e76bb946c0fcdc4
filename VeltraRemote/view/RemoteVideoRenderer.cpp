#include "view/RemoteVideoRenderer.h"

#include <QOpenGLContext>
#include <QOpenGLShaderProgram>
#include <cmath>

#include "codec/RemoteFrame.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace veltra {
namespace {

// GLSL 1.10 / ES 1.00, so that OpenGL 2.1, ES 2 and Mesa's software rasteriser all run it.
const char kVertexShader[] = R"(
attribute vec2 position;
attribute vec2 texturePosition;
varying vec2 picturePoint;
void main() {
  picturePoint = texturePosition;
  gl_Position = vec4(position, 0.0, 1.0);
}
)";

// Chroma comes from planeU and planeV; for an interleaved plane both name the same texture and
// vChannel picks its second channel (green of RG8, alpha of LUMINANCE_ALPHA).
const char kFragmentShader[] = R"(
#ifdef GL_ES
precision highp float;
#endif
uniform sampler2D planeY;
uniform sampler2D planeU;
uniform sampler2D planeV;
uniform vec4 vChannel;
uniform mat3 conversion;
uniform vec3 offset;
varying vec2 picturePoint;
void main() {
  vec3 yuv = vec3(texture2D(planeY, picturePoint).r, texture2D(planeU, picturePoint).r,
                  dot(texture2D(planeV, picturePoint), vChannel));
  gl_FragColor = vec4(clamp(conversion * (yuv - offset), 0.0, 1.0), 1.0);
}
)";

#ifndef GL_UNPACK_ROW_LENGTH
#define GL_UNPACK_ROW_LENGTH 0x0CF2
#endif
#ifndef GL_R8
#define GL_R8 0x8229
#endif
#ifndef GL_RG8
#define GL_RG8 0x822B
#endif
#ifndef GL_RED
#define GL_RED 0x1903
#endif
#ifndef GL_RG
#define GL_RG 0x8227
#endif

struct LumaWeights {
  double red;
  double blue;
};

LumaWeights weightsFor(int colorSpace) {
  switch (colorSpace) {
    case AVCOL_SPC_BT709:
      return {0.2126, 0.0722};
    case AVCOL_SPC_FCC:
      return {0.30, 0.11};
    case AVCOL_SPC_SMPTE240M:
      return {0.212, 0.087};
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:
      return {0.2627, 0.0593};
    default:  // BT.601 (BT470BG, SMPTE170M) and every stream that does not say
      return {0.299, 0.114};
  }
}

}  // namespace

RemoteVideoRenderer::RemoteVideoRenderer() = default;
RemoteVideoRenderer::~RemoteVideoRenderer() = default;

QRectF RemoteVideoRenderer::fittedRect(QSizeF picture, QSizeF viewport) {
  const double w = picture.width(), h = picture.height();
  const double W = viewport.width(), H = viewport.height();
  if (!(w > 0 && h > 0 && W > 0 && H > 0)) return {};
  const double scale = std::min(W / w, H / h);
  const double fittedWidth = w * scale, fittedHeight = h * scale;
  return {(W - fittedWidth) * 0.5, (H - fittedHeight) * 0.5, fittedWidth, fittedHeight};
}

RemoteVideoRenderer::ColorConversion RemoteVideoRenderer::colorConversion(int colorSpace,
                                                                          bool fullRange) {
  const auto [kr, kb] = weightsFor(colorSpace);
  const double kg = 1 - kr - kb;
  // Limited range: luma 16…235 and chroma 16…240 of 255 stretch to the full scale.
  const double lumaScale = fullRange ? 1 : 255.0 / 219.0;
  const double chromaScale = fullRange ? 1 : 255.0 / 224.0;
  const double crToR = 2 * (1 - kr), cbToB = 2 * (1 - kb);
  const double cbToG = -2 * kb * (1 - kb) / kg, crToG = -2 * kr * (1 - kr) / kg;
  ColorConversion conversion;
  // Columns: what Y, Cb and Cr each add to red, green and blue.
  conversion.matrix = {
      static_cast<float>(lumaScale),
      static_cast<float>(lumaScale),
      static_cast<float>(lumaScale),
      0.0f,
      static_cast<float>(cbToG * chromaScale),
      static_cast<float>(cbToB * chromaScale),
      static_cast<float>(crToR * chromaScale),
      static_cast<float>(crToG * chromaScale),
      0.0f,
  };
  conversion.offset = {fullRange ? 0.0f : 16.0f / 255, 128.0f / 255, 128.0f / 255};
  return conversion;
}

bool RemoteVideoRenderer::initialize() {
  initializeOpenGLFunctions();
  QOpenGLContext* context = QOpenGLContext::currentContext();
  const bool es = context->isOpenGLES();
  const int major = context->format().majorVersion();
  redGreenTextures_ = !es || major >= 3 || context->hasExtension("GL_EXT_texture_rg");
  rowLength_ = !es || major >= 3 || context->hasExtension("GL_EXT_unpack_subimage");

  program_ = std::make_unique<QOpenGLShaderProgram>();
  if (!program_->addShaderFromSourceCode(QOpenGLShader::Vertex, kVertexShader) ||
      !program_->addShaderFromSourceCode(QOpenGLShader::Fragment, kFragmentShader)) {
    program_.reset();
    return false;
  }
  program_->bindAttributeLocation("position", 0);
  program_->bindAttributeLocation("texturePosition", 1);
  if (!program_->link()) {
    program_.reset();
    return false;
  }
  glGenTextures(3, textures_.data());
  initialized_ = true;
  return true;
}

void RemoteVideoRenderer::release() {
  if (!initialized_) return;
  glDeleteTextures(3, textures_.data());
  textures_ = {};
  allocated_ = {};
  program_.reset();
  initialized_ = false;
}

void RemoteVideoRenderer::upload(int unit, unsigned texture, Storage& allocated,
                                 const uint8_t* pixels, int stride, Storage wanted) {
  const QSize size = wanted.size;
  const bool twoChannels = wanted.twoChannels;
  glActiveTexture(GL_TEXTURE0 + static_cast<GLenum>(unit));
  glBindTexture(GL_TEXTURE_2D, texture);
  const int bytesPerSample = twoChannels ? 2 : 1;
  GLenum format;
  GLint internal;
  if (redGreenTextures_) {
    format = twoChannels ? GL_RG : GL_RED;
    internal = twoChannels ? GL_RG8 : GL_R8;
  } else {
    format = twoChannels ? GL_LUMINANCE_ALPHA : GL_LUMINANCE;
    internal = static_cast<GLint>(format);
  }
  if (allocated != wanted) {
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    glTexImage2D(GL_TEXTURE_2D, 0, internal, size.width(), size.height(), 0, format,
                 GL_UNSIGNED_BYTE, nullptr);
    allocated = wanted;
  }
  const bool packed = stride == size.width() * bytesPerSample;
  if (packed || rowLength_) {
    if (!packed) glPixelStorei(GL_UNPACK_ROW_LENGTH, stride / bytesPerSample);
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, size.width(), size.height(), format, GL_UNSIGNED_BYTE,
                    pixels);
    if (!packed) glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
  } else {
    for (int row = 0; row < size.height(); ++row) {
      glTexSubImage2D(GL_TEXTURE_2D, 0, 0, row, size.width(), 1, format, GL_UNSIGNED_BYTE,
                      pixels + static_cast<ptrdiff_t>(row) * stride);
    }
  }
}

void RemoteVideoRenderer::draw(const RemoteFrame* frame, QSize framebuffer) {
  glViewport(0, 0, framebuffer.width(), framebuffer.height());
  glClearColor(0, 0, 0, 1);
  glClear(GL_COLOR_BUFFER_BIT);
  if (!initialized_ || !frame) return;
  const int planes = frame->planeCount();
  const QRectF fitted = fittedRect(QSizeF(frame->width(), frame->height()), QSizeF(framebuffer));
  // Strides of FFmpeg frames may be negative (bottom-up pictures); those are not ours to draw.
  if (planes == 0 || fitted.isEmpty()) return;
  for (int plane = 0; plane < planes; ++plane) {
    if (frame->stride(plane) <= 0 || !frame->plane(plane)) return;
  }

  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  const QSize luma(frame->width(), frame->height());
  const QSize chroma((luma.width() + 1) / 2, (luma.height() + 1) / 2);
  upload(0, textures_[0], allocated_[0], frame->plane(0), frame->stride(0), {luma, false});
  const bool interleaved = planes == 2;
  upload(1, textures_[1], allocated_[1], frame->plane(1), frame->stride(1), {chroma, interleaved});
  if (interleaved) {
    // The V sampler reads the second channel of the same texture.
    glActiveTexture(GL_TEXTURE2);
    glBindTexture(GL_TEXTURE_2D, textures_[1]);
  } else {
    upload(2, textures_[2], allocated_[2], frame->plane(2), frame->stride(2), {chroma, false});
  }

  // The fitted rectangle in normalised device coordinates (y up), picture row 0 at its top.
  const double W = framebuffer.width(), H = framebuffer.height();
  const float left = static_cast<float>(fitted.left() / W * 2 - 1);
  const float right = static_cast<float>(fitted.right() / W * 2 - 1);
  const float top = static_cast<float>(1 - fitted.top() / H * 2);
  const float bottom = static_cast<float>(1 - fitted.bottom() / H * 2);
  const GLfloat positions[] = {left, top, right, top, left, bottom, right, bottom};
  const GLfloat samples[] = {0, 0, 1, 0, 0, 1, 1, 1};

  const ColorConversion conversion = colorConversion(frame->colorSpace(), frame->isFullRange());
  program_->bind();
  program_->setUniformValue("planeY", 0);
  program_->setUniformValue("planeU", 1);
  program_->setUniformValue("planeV", 2);
  if (!interleaved) {
    program_->setUniformValue("vChannel", 1.0f, 0.0f, 0.0f, 0.0f);
  } else if (redGreenTextures_) {
    program_->setUniformValue("vChannel", 0.0f, 1.0f, 0.0f, 0.0f);
  } else {
    program_->setUniformValue("vChannel", 0.0f, 0.0f, 0.0f, 1.0f);
  }
  glUniformMatrix3fv(program_->uniformLocation("conversion"), 1, GL_FALSE,
                     conversion.matrix.data());
  program_->setUniformValue("offset", conversion.offset[0], conversion.offset[1],
                            conversion.offset[2]);
  glBindBuffer(GL_ARRAY_BUFFER, 0);
  glVertexAttribPointer(0, 2, GL_FLOAT, GL_FALSE, 0, positions);
  glVertexAttribPointer(1, 2, GL_FLOAT, GL_FALSE, 0, samples);
  glEnableVertexAttribArray(0);
  glEnableVertexAttribArray(1);
  glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
  glDisableVertexAttribArray(0);
  glDisableVertexAttribArray(1);
  program_->release();
  glActiveTexture(GL_TEXTURE0);
}

}  // namespace veltra
