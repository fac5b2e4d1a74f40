// Request framing. Framing is a pure function of the bytes received so far: it is repeated
// from the first byte after every read and caches nothing. Only "content-length"
// and "authorization" influence the result, and for both the last header line wins.
//
// Head operations work on bytes. For valid UTF-8 that is the same as working on characters,
// except for lower-casing, which touches ASCII letters only: no non-ASCII letter lower-cases
// into one of the two header names that matter, so the outcome is the same.
#include "Request.hpp"

#include <algorithm>
#include <limits>
#include <nlohmann/json.hpp>

#include "Text.hpp"

namespace orvane {

namespace {

constexpr std::string_view blankLine = "\r\n\r\n";
constexpr std::string_view lineBreak = "\r\n";
constexpr std::string_view bearerPrefix = "Bearer ";

// No request can need more than a full head plus a full body; a buffer past that while the
// head stays malformed is a client that will never be answered.
constexpr std::size_t maxBufferBytes =
    maxHeadBytes + blankLine.size() + static_cast<std::size_t>(maxBodyBytes);

FrameResult needMore(std::string_view data) {
  FrameResult result;
  result.status = data.size() > maxBufferBytes ? FrameStatus::tooLarge : FrameStatus::needMore;
  return result;
}

FrameResult tooLarge() {
  FrameResult result;
  result.status = FrameStatus::tooLarge;
  return result;
}

std::string asciiLower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

// The method and path: the first two non-empty pieces between U+0020 characters.
bool splitRequestLine(std::string_view line, std::string& method, std::string& path) {
  std::string* pieces[] = {&method, &path};
  std::size_t found = 0;
  std::size_t i = 0;
  while (i < line.size() && found < 2) {
    if (line[i] == ' ') {
      ++i;
      continue;
    }
    const std::size_t end = std::min(line.find(' ', i), line.size());
    *pieces[found++] = std::string(line.substr(i, end - i));
    i = end;
  }
  return found == 2;
}

// Rejects nesting deeper than maxJsonDepth before the JSON reader builds anything.
bool nestingWithinLimit(std::string_view body) {
  std::size_t depth = 0;
  bool inString = false;
  bool escaped = false;
  for (const char c : body) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > maxJsonDepth)
        return false;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return true;
}

}  // namespace

std::optional<JsonObject> parseJsonObject(std::string_view body) {
  if (!nestingWithinLimit(body))
    return std::nullopt;
  try {
    // Without exceptions most failures come back as a discarded value; numbers beyond the
    // range of double still throw, hence the catch as well.
    JsonObject value = nlohmann::json::parse(body.begin(), body.end(), nullptr, false);
    if (value.is_object())
      return value;
  } catch (const nlohmann::json::exception&) {
  }
  return std::nullopt;
}

std::int64_t parseContentLength(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty())
    return 0;
  // Accumulate towards the sign so that the most negative value fits as well.
  std::int64_t value = 0;
  constexpr std::int64_t max = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t min = std::numeric_limits<std::int64_t>::min();
  for (const char c : text) {
    if (c < '0' || c > '9')
      return 0;
    const int digit = c - '0';
    if (negative) {
      if (value < (min + digit) / 10)
        return 0;
      value = value * 10 - digit;
    } else {
      if (value > (max - digit) / 10)
        return 0;
      value = value * 10 + digit;
    }
  }
  return value;
}

FrameResult frameRequest(std::string_view data) {
  // Search only as far as a head of the allowed size can reach, so a large body that happens
  // to contain a blank line cannot make an oversized head look complete.
  const std::size_t searchable = std::min(data.size(), maxHeadBytes + blankLine.size());
  const std::size_t headEnd = data.substr(0, searchable).find(blankLine);
  if (headEnd == std::string_view::npos)
    return searchable == maxHeadBytes + blankLine.size() ? tooLarge() : needMore(data);

  const std::string_view head = data.substr(0, headEnd);
  const std::size_t bodyStart = headEnd + blankLine.size();
  if (!isValidUtf8(head))
    return needMore(data);

  FramedRequest request;
  std::size_t lineEnd = std::min(head.find(lineBreak), head.size());
  if (!splitRequestLine(head.substr(0, lineEnd), request.method, request.path))
    return needMore(data);

  std::string_view contentLengthText = "0";
  std::optional<std::string_view> authorization;
  while (lineEnd < head.size()) {
    const std::size_t lineStart = lineEnd + lineBreak.size();
    lineEnd = std::min(head.find(lineBreak, lineStart), head.size());
    const std::string_view line = head.substr(lineStart, lineEnd - lineStart);
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos)
      continue;
    const std::string name = asciiLower(line.substr(0, colon));
    const std::string_view value = trimWhitespace(line.substr(colon + 1), false);
    if (name == "content-length") {
      contentLengthText = value;
    } else if (name == "authorization") {
      authorization = value;
    }
  }

  const std::int64_t contentLength = parseContentLength(contentLengthText);
  if (contentLength > maxBodyBytes)
    return tooLarge();
  const auto bodyLength = static_cast<std::size_t>(std::max<std::int64_t>(contentLength, 0));
  if (data.size() - bodyStart < bodyLength) {
    FrameResult result = needMore(data);
    result.wholeBytes = bodyStart + bodyLength;
    return result;
  }

  if (authorization && authorization->substr(0, bearerPrefix.size()) == bearerPrefix)
    request.bearer = std::string(authorization->substr(bearerPrefix.size()));
  request.body = data.substr(bodyStart, bodyLength);

  FrameResult result;
  result.status = FrameStatus::complete;
  result.request = std::move(request);
  return result;
}

}  // namespace orvane
