#include "vellum/views/vl_image.hpp"

#include <sstream>

namespace vellum {

VLImage VLImage::resizable(double top, double leading, double bottom, double trailing, ResizingMode mode) const {
  std::ostringstream name;
  name << "resizable(" << top << "," << leading << "," << bottom << "," << trailing << ","
       << (mode == ResizingMode::tile ? "tile" : "stretch") << ")";
  return configure([modifier = name.str()](ImageElement e) { return e.modified(modifier); });
}

VLImage VLImage::renderingMode(std::optional<TemplateRenderingMode> mode) const {
  const std::string name = !mode ? "renderingMode(nil)"
                           : *mode == TemplateRenderingMode::original ? "renderingMode(original)"
                                                                      : "renderingMode(template)";
  return configure([name](ImageElement e) { return e.modified(name); });
}

VLImage VLImage::interpolation(Interpolation interpolation) const {
  static const char* const names[] = {"none", "low", "medium", "high"};
  const std::string name = std::string("interpolation(") + names[int(interpolation)] + ")";
  return configure([name](ImageElement e) { return e.modified(name); });
}

VLImage VLImage::antialiased(bool on) const {
  const std::string name = on ? "antialiased(true)" : "antialiased(false)";
  return configure([name](ImageElement e) { return e.modified(name); });
}

}  // namespace vellum
