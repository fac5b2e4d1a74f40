// The body is read as a stream of JSON events. Only three levels matter: the members of the
// top object, the elements of its "samples" array, and the members of each of those elements.
// `depth_` counts the containers open around the next event; every container that opens
// decides whether the level below it matters, so a stale flag never outlives its container.
#include "IngestBody.hpp"

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "Request.hpp"
#include "StateEngine.hpp"

namespace orvane {

namespace {

using Json = nlohmann::json;

class IngestReader {
 public:
  explicit IngestReader(IngestBatch& batch) : batch_(batch) {
    batch_.samples.clear();
    batch_.device = "unknown";
  }

  bool finish(bool parsed) const { return parsed && samplesIsArray_ && elementsAreObjects_; }

  // The event interface of the JSON reader; returning false ends the reading as a failure.
  bool null() { return scalar(std::nullopt, nullptr); }
  bool boolean(bool) { return scalar(std::nullopt, nullptr); }
  bool number_integer(Json::number_integer_t n) { return scalar(static_cast<double>(n), nullptr); }
  bool number_unsigned(Json::number_unsigned_t n) {
    return scalar(static_cast<double>(n), nullptr);
  }
  bool number_float(Json::number_float_t n, const Json::string_t&) { return scalar(n, nullptr); }
  bool string(Json::string_t& text) { return scalar(std::nullopt, &text); }
  bool binary(Json::binary_t&) { return false; }  // JSON text has no binary values
  bool start_object(std::size_t) { return open(false); }
  bool start_array(std::size_t) { return open(true); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    return false;
  }

  bool key(Json::string_t& name) {
    if (depth_ == 1) {
      topMember_ = name == "samples"  ? TopMember::samples
                   : name == "device" ? TopMember::device
                                      : TopMember::other;
    } else if (depth_ == 3 && inSample_) {
      field_ = name == "type"    ? Field::type
               : name == "value" ? Field::value
               : name == "ts"    ? Field::ts
               : name == "unit"  ? Field::unit
                                 : Field::other;
    }
    return true;
  }

 private:
  enum class Place { top, topMember, element, sampleField, ignored };
  enum class TopMember { samples, device, other };
  enum class Field { type, value, ts, unit, other };

  Place place() const {
    if (depth_ == 0)
      return Place::top;
    if (depth_ == 1)
      return Place::topMember;
    if (depth_ == 2 && inSamples_)
      return Place::element;
    if (depth_ == 3 && inSample_)
      return Place::sampleField;
    return Place::ignored;
  }

  // A number or string value (`text` set for strings); null and booleans have neither.
  bool scalar(std::optional<double> number, const std::string* text) {
    switch (place()) {
      case Place::top:
        return false;
      case Place::topMember:
        if (topMember_ == TopMember::samples)
          samplesIsArray_ = false;
        else if (topMember_ == TopMember::device)
          batch_.device = text ? *text : "unknown";
        return true;
      case Place::element:
        elementsAreObjects_ = false;
        return true;
      case Place::sampleField:
        setField(
            text && (field_ == Field::value || field_ == Field::ts) ? numberInText(*text) : number,
            text);
        return true;
      case Place::ignored:
        return true;
    }
    return true;
  }

  void setField(std::optional<double> number, const std::string* text) {
    IngestSample& sample = batch_.samples.back();
    const auto textOrNothing = [text] {
      return text ? std::optional<std::string>(*text) : std::nullopt;
    };
    switch (field_) {
      case Field::type:
        sample.type = textOrNothing();
        break;
      case Field::value:
        sample.value = number;
        break;
      case Field::ts:
        sample.ts = number;
        break;
      case Field::unit:
        sample.unit = textOrNothing();
        break;
      case Field::other:
        break;
    }
  }

  bool open(bool isArray) {
    // Whatever opens at these depths, the level below it matters only if said so below.
    if (depth_ == 1)
      inSamples_ = false;
    else if (depth_ == 2)
      inSample_ = false;
    switch (place()) {
      case Place::top:
        if (isArray)
          return false;
        break;
      case Place::topMember:
        inSamples_ = isArray && topMember_ == TopMember::samples;
        if (topMember_ == TopMember::samples) {
          samplesIsArray_ = isArray;
          elementsAreObjects_ = true;
          batch_.samples.clear();
        } else if (topMember_ == TopMember::device) {
          batch_.device = "unknown";
        }
        break;
      case Place::element:
        inSample_ = !isArray && batch_.samples.size() < StateEngine::maxBatch;
        if (isArray)
          elementsAreObjects_ = false;
        else if (inSample_)
          batch_.samples.emplace_back();
        break;
      case Place::sampleField:
        // A container where a field's value belongs reads as no value.
        setField(std::nullopt, nullptr);
        break;
      case Place::ignored:
        break;
    }
    return ++depth_ <= maxJsonDepth;
  }

  bool close() {
    --depth_;
    return true;
  }

  IngestBatch& batch_;
  std::size_t depth_ = 0;
  TopMember topMember_ = TopMember::other;
  Field field_ = Field::other;
  bool inSamples_ = false;  // the array open at depth 2 is the "samples" member
  bool inSample_ = false;   // the object open at depth 3 is a sample that is kept
  bool samplesIsArray_ = false;
  bool elementsAreObjects_ = true;
};

}  // namespace

bool readIngestBody(std::string_view body, IngestBatch& batch) {
  IngestReader reader(batch);
  return reader.finish(Json::sax_parse(body.begin(), body.end(), &reader));
}

}  // namespace orvane
