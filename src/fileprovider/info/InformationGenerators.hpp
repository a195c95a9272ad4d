// The generators of each media kind, the two rules by which they add properties, and the number
// and date texts they write; internal to LocalFileInformationGenerator.
#pragma once

#include "fileprovider/info/LocalFileInformationGenerator.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace RiridOzizevud::fileinfo {

using Generator = LocalFileInformationGenerator;
using platform::Size;
using platform::URL;
using platform::Value;
using platform::ValueDictionary;

// A label is listed once per addition (twice when added twice); the dictionary keeps the later
// value. Audio and video lists leave out only absent values.
inline void addIfPresent(Generator::Properties& p, const std::string& label, std::optional<Value> value) {
    if (!value || value->isNull()) return;
    p.keys.push_back(label);
    p.prop[label] = std::move(*value);
}

// Image and PDF lists leave out empty texts as well.
inline void addUnlessEmpty(Generator::Properties& p, const std::string& label, std::optional<Value> value) {
    if (const std::string* text = value ? value->asString() : nullptr; text && text->empty()) return;
    addIfPresent(p, label, std::move(value));
}

// ---- Numbers and dates (InformationFormatting.cpp) ----

std::string decimalText(double value, int fractionDigits);
std::string plainText(const Value& v);
std::optional<int64_t> truncated(double d);
std::string kbps(double bitsPerSecond);

// ---- Generators of each kind ----

std::shared_ptr<platform::Image> imageThumbnailOf(const URL& url, const std::optional<Size>& size);
Generator::Properties imagePropertiesOf(const URL& url);
std::shared_ptr<platform::Image> audioThumbnailOf(const URL& url, const std::optional<Size>& size);
Generator::Properties audioPropertiesOf(const URL& url);
std::shared_ptr<platform::Image> videoThumbnailOf(const URL& url, const std::optional<Size>& size);
Generator::Properties videoPropertiesOf(const URL& url);
std::shared_ptr<platform::Image> pdfThumbnailOf(const URL& url, const std::optional<Size>& size);
Generator::Properties pdfPropertiesOf(const URL& url);

Generator::PropertiesGenerator audioPropertiesGenerator();

} // namespace RiridOzizevud::fileinfo
