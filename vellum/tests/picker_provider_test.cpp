// Picker providers: keys (the picker's identifiers, or one upper-case UUID per provider), the mapping of what a
// picker answers, and the file-backed items an app plugs in.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <regex>

#include "test_files.hpp"
#include "test_providers.hpp"
#include "test_images.hpp"
#include "vellum/image/image_codecs.hpp"
#include "vellum/sources/picker_image_data_providers.hpp"
#include "vellum/sources/source.hpp"

namespace vellum {
namespace {

using foundation::Bytes;
using Code = PickerImageDataProviderError::Code;
using ItemAnswer = foundation::Result<std::optional<Bytes>, std::exception_ptr>;


// The provider error's code and, for pickerProviderError, the text of what it wraps.
std::pair<Code, std::string> failure(const ImageDataProvider::DataResult& result) {
  if (result.ok()) throw std::runtime_error("expected a failure");
  try {
    std::rethrow_exception(result.error());
  } catch (const PickerImageDataProviderError& e) {
    std::string cause;
    if (e.cause()) {
      try {
        std::rethrow_exception(e.cause());
      } catch (const std::exception& c) {
        cause = c.what();
      }
    }
    return {e.code(), cause};
  }
}

const std::regex kUpperUUID("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");

TEST(PickerProviders, KeysComeFromIdentifiersOrOneUUIDPerProvider) {
  auto item = std::make_shared<ScriptedItemProvider>(Bytes{1}, nullptr);
  EXPECT_EQ(PHPickerResultImageDataProvider(PickerResult{"A1", item}, UniformType::image()).cacheKey(), "A1_public.image");
  EXPECT_EQ(PHPickerResultImageDataProvider(PickerResult{"A1", item}, UniformType::image(), "mine").cacheKey(), "mine");

  const PHPickerResultImageDataProvider anonymous(PickerResult{std::nullopt, item}, UniformType::jpeg());
  const std::string key = anonymous.cacheKey();
  ASSERT_EQ(key.size(), 36u + std::string("_public.jpeg").size());
  EXPECT_TRUE(std::regex_match(key.substr(0, 36), kUpperUUID)) << key;
  EXPECT_EQ(key.substr(36), "_public.jpeg");
  EXPECT_EQ(anonymous.convertToSource(), anonymous.convertToSource());
  EXPECT_NE(PHPickerResultImageDataProvider(PickerResult{std::nullopt, item}, UniformType::jpeg()).cacheKey(), key);

  auto named = std::make_shared<ScriptedPhotosPickerItem>("item-7", ItemAnswer::success(Bytes{1}));
  EXPECT_EQ(PhotosPickerItemImageDataProvider(named).cacheKey(), "item-7");
  auto unnamed = std::make_shared<ScriptedPhotosPickerItem>(std::nullopt, ItemAnswer::success(Bytes{1}));
  EXPECT_TRUE(std::regex_match(PhotosPickerItemImageDataProvider(unnamed).cacheKey(), kUpperUUID));
}

TEST(PickerProviders, PickerAnswersAreMappedAndErrorsAlwaysWrapped) {
  const auto boom = std::make_exception_ptr(std::runtime_error("picker broke"));
  // Both data and an error: the error wins, wrapped.
  auto both = std::make_shared<ScriptedItemProvider>(Bytes{1, 2}, boom);
  EXPECT_EQ(failure(test::readProvider(PHPickerResultImageDataProvider(PickerResult{"A", both}, UniformType::png()))),
            std::pair(Code::pickerProviderError, std::string("picker broke")));
  EXPECT_EQ(both->requestedTypeIdentifiers(), std::vector<std::string>{"public.png"});
  auto data = std::make_shared<ScriptedItemProvider>(Bytes{1, 2}, nullptr);
  EXPECT_EQ(test::readProvider(PHPickerResultImageDataProvider(PickerResult{"A", data})).value(), (Bytes{1, 2}));
  auto nothing = std::make_shared<ScriptedItemProvider>(std::nullopt, nullptr);
  EXPECT_EQ(failure(test::readProvider(PHPickerResultImageDataProvider(PickerResult{"A", nothing}))).first, Code::invalidImage);

  const auto itemRead = [](ItemAnswer answer) {
    return test::readProvider(PhotosPickerItemImageDataProvider(std::make_shared<ScriptedPhotosPickerItem>("i", std::move(answer))));
  };
  EXPECT_EQ(itemRead(ItemAnswer::success(Bytes{9})).value(), Bytes{9});
  EXPECT_EQ(failure(itemRead(ItemAnswer::success(std::nullopt))).first, Code::invalidImage);
  EXPECT_EQ(failure(itemRead(ItemAnswer::failure(boom))), std::pair(Code::pickerProviderError, std::string("picker broke")));
}

TEST(PickerProviders, FileBackedItemsReportTheTypeTheirBytesGive) {
  test::TempDirectory dir;
  const Bytes png = *encodePNG(test::gradient(4, 4));
  const auto photo = URL::fileURL(dir.write("photo.bin", png).string());
  const auto text = URL::fileURL(dir.write("notes.png", foundation::toBytes("hello")).string());
  EXPECT_EQ(typeIdentifierOfContents(png), "public.png");
  EXPECT_EQ(typeIdentifierOfContents(*encodeJPEG(test::gradient(4, 4), 0.9)), "public.jpeg");
  EXPECT_EQ(typeIdentifierOfContents(foundation::toBytes("hello")), "public.data");

  const auto load = [](const URL& url, UniformType type) {
    return test::readProvider(PHPickerResultImageDataProvider(PickerResult{std::nullopt, std::make_shared<FileItemProvider>(url)}, type));
  };
  EXPECT_EQ(load(photo, UniformType::image()).value(), png);
  EXPECT_EQ(load(photo, UniformType::png()).value(), png);
  EXPECT_EQ(load(text, UniformType::data()).value(), foundation::toBytes("hello"));
  // The name says PNG, the bytes do not.
  EXPECT_EQ(failure(load(text, UniformType::image())).first, Code::pickerProviderError);
  EXPECT_EQ(failure(load(photo, UniformType::jpeg())).first, Code::pickerProviderError);
  // Non-regular files are refused, not read.
  EXPECT_EQ(failure(load(URL::fileURL("/dev/zero"), UniformType::data())).first, Code::pickerProviderError);

  EXPECT_EQ(test::readProvider(PhotosPickerItemImageDataProvider(std::make_shared<FilePhotosPickerItem>(photo, "p"))).value(), png);
  EXPECT_EQ(failure(test::readProvider(PhotosPickerItemImageDataProvider(
                         std::make_shared<FilePhotosPickerItem>(URL::fileURL((dir.path() / "gone").string())))))
                .first,
            Code::pickerProviderError);
}

}  // namespace
}  // namespace vellum
