// Multipart forms read as they arrive, in pieces of any size.
#include "MultipartReader.hh"

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace qx::quarn_server {
namespace {

struct Part {
  std::string name;
  std::optional<std::string> filename;
  std::string contentType;
  std::string data;
  bool ended = false;

  bool operator==(const Part &other) const {
    return name == other.name && filename == other.filename &&
           contentType == other.contentType && data == other.data && ended == other.ended;
  }
};

void PrintTo(const Part &part, std::ostream *out) {
  *out << "{" << part.name << ", " << part.filename.value_or("(none)") << ", " << part.contentType
       << ", [" << part.data << "], " << (part.ended ? "ended" : "open") << "}";
}

// Keeps what it is given; refuses parts named "refuse".
class Recorder : public MultipartReader::Sink {
 public:
  bool BeginPart(const MultipartReader::PartHeader &header, std::string &why) override {
    if (header.name == "refuse") {
      why = "refused";
      return false;
    }
    parts.push_back({header.name, header.filename, header.contentType, "", false});
    return true;
  }
  bool PartData(const char *data, std::size_t size, std::string &) override {
    parts.back().data.append(data, size);
    return true;
  }
  bool EndPart(std::string &) override {
    parts.back().ended = true;
    return true;
  }
  std::vector<Part> parts;
};

const char kBoundary[] = "b0undary";

// Feeds `body` in pieces of `piece` bytes (all at once for 0).
bool Read(const std::string &body, std::size_t piece, Recorder &recorder, std::string &error) {
  MultipartReader reader(kBoundary, recorder);
  bool fed = true;
  for (std::size_t at = 0; at < body.size() && fed; at += piece ? piece : body.size())
    fed = reader.Feed(body.data() + at, std::min(body.size() - at, piece ? piece : body.size()));
  const bool finished = fed && reader.Finish();
  error = reader.Error();
  return finished;
}

TEST(MultipartReader, WellFormedFormsAtEverySplit) {
  struct Case {
    const char *what;
    std::string body;
    std::vector<Part> parts;
  };
  const std::vector<Case> cases = {
      {"fields and a file",
       "--b0undary\r\nContent-Disposition: form-data; name=\"owner\"\r\n\r\ncarol\r\n"
       "--b0undary\r\nContent-Disposition: form-data; name=\"file\"; filename=\"meshes/a.dae\"\r\n"
       "Content-Type: text/xml\r\n\r\n<a>\r\n--not the end\r\n</a>\r\n"
       "--b0undary--\r\n",
       {{"owner", std::nullopt, "", "carol", true},
        {"file", "meshes/a.dae", "text/xml", "<a>\r\n--not the end\r\n</a>", true}}},
      {"a preamble, padding after a delimiter, an epilogue",
       "ignored\r\n--b0undary  \r\ncontent-disposition: FORM-DATA; name=x\r\n\r\n1\r\n"
       "--b0undary--\r\nafter the end",
       {{"x", std::nullopt, "", "1", true}}},
      {"an empty part and an empty file name",
       "--b0undary\r\nContent-Disposition: form-data; name=\"e\"; filename=\"\"\r\n\r\n\r\n"
       "--b0undary--",
       {{"e", "", "", "", true}}},
      {"bytes of every value", "--b0undary\r\nContent-Disposition: form-data; name=\"z\"\r\n\r\n" +
                                   std::string("\0\r\r\n-\xff", 6) + "\r\n--b0undary--",
       {{"z", std::nullopt, "", std::string("\0\r\r\n-\xff", 6), true}}},
      {"a file name with a backslash, as sent",
       "--b0undary\r\nContent-Disposition: form-data; name=\"file\"; filename=\"a\\b\"\r\n\r\n"
       "x\r\n--b0undary--",
       {{"file", "a\\b", "", "x", true}}},
  };
  for (const Case &c : cases) {
    for (std::size_t piece = 0; piece <= c.body.size(); ++piece) {
      SCOPED_TRACE(std::string(c.what) + ", pieces of " + std::to_string(piece));
      Recorder recorder;
      std::string error;
      EXPECT_TRUE(Read(c.body, piece, recorder, error)) << error;
      EXPECT_EQ(c.parts, recorder.parts);
    }
  }
}

TEST(MultipartReader, MalformedFormsEndTheReadingWithAReason) {
  const std::string disposition = "Content-Disposition: form-data; name=\"a\"\r\n\r\n";
  struct Case {
    const char *what;
    std::string body;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"no closing delimiter", "--b0undary\r\n" + disposition + "x",
       "The form ends before its closing delimiter"},
      {"nothing at all", "", "The form ends before its closing delimiter"},
      {"a delimiter run on", "--b0undaryX\r\n" + disposition + "x\r\n--b0undary--",
       "The form has a malformed delimiter"},
      {"no disposition", "--b0undary\r\nContent-Type: text/plain\r\n\r\nx\r\n--b0undary--",
       "A part of the form has no valid form-data disposition"},
      {"another disposition",
       "--b0undary\r\nContent-Disposition: attachment; name=\"a\"\r\n\r\nx\r\n--b0undary--",
       "A part of the form has no valid form-data disposition"},
      {"an unclosed quote",
       "--b0undary\r\nContent-Disposition: form-data; name=\"a\r\n\r\nx\r\n--b0undary--",
       "A part of the form has no valid form-data disposition"},
      {"a header line without a colon",
       "--b0undary\r\nContent-Disposition: form-data; name=a\r\nbroken\r\n\r\nx\r\n--b0undary--",
       "A part of the form has no valid form-data disposition"},
      {"a part header too long",
       "--b0undary\r\nX-Pad: " + std::string(MultipartReader::kMaxPartHeader, 'p') + "\r\n" +
           disposition + "x\r\n--b0undary--",
       "A part of the form has a header too long"},
      {"the sink refuses",
       "--b0undary\r\nContent-Disposition: form-data; name=\"refuse\"\r\n\r\nx\r\n--b0undary--",
       "refused"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    for (std::size_t piece : {std::size_t(0), std::size_t(1), std::size_t(7)}) {
      Recorder recorder;
      std::string error;
      EXPECT_FALSE(Read(c.body, piece, recorder, error));
      EXPECT_EQ(c.error, error);
    }
  }
}

TEST(MultipartReader, KeepsLittleOfAPartInHand) {
  // A part of many pieces reaches the sink as it comes, not at its end.
  Recorder recorder;
  MultipartReader reader(kBoundary, recorder);
  const std::string head = "--b0undary\r\nContent-Disposition: form-data; name=\"f\"; filename=\"f\"\r\n\r\n";
  ASSERT_TRUE(reader.Feed(head.data(), head.size()));
  const std::string block(64 * 1024, 'x');
  for (int i = 0; i < 16; ++i) ASSERT_TRUE(reader.Feed(block.data(), block.size()));
  ASSERT_EQ(1u, recorder.parts.size());
  EXPECT_GE(recorder.parts[0].data.size(), 16 * block.size() - std::string(kBoundary).size() - 4);
  const std::string tail = "\r\n--b0undary--";
  ASSERT_TRUE(reader.Feed(tail.data(), tail.size()));
  EXPECT_TRUE(reader.Finish());
  EXPECT_EQ(16 * block.size(), recorder.parts[0].data.size());
}

TEST(MultipartReader, Boundary) {
  EXPECT_EQ(std::optional<std::string>("abc"), MultipartReader::Boundary("multipart/form-data; boundary=abc"));
  EXPECT_EQ(std::optional<std::string>("a b"),
            MultipartReader::Boundary("Multipart/Form-Data; charset=x; boundary=\"a b\""));
  EXPECT_FALSE(MultipartReader::Boundary("multipart/form-data"));
  EXPECT_FALSE(MultipartReader::Boundary("multipart/mixed; boundary=abc"));
  EXPECT_FALSE(MultipartReader::Boundary("text/plain; boundary=abc"));
  EXPECT_FALSE(MultipartReader::Boundary("multipart/form-data; boundary="));
  EXPECT_FALSE(MultipartReader::Boundary("multipart/form-data; boundary=" + std::string(71, 'a')));
}

}  // namespace
}  // namespace qx::quarn_server
