/*
 * URIs as the repository tools use them: scheme, optional authority, path,
 * query and fragment. Values are plain copyable types; a URI object may be
 * read from several threads but not written while another thread reads it.
 * Parsing never throws; an unparseable text leaves an invalid URI.
 */
#ifndef QX_COMMON_URI_HH_
#define QX_COMMON_URI_HH_

#include <optional>
#include <string>
#include <vector>

namespace qx::common {

// The authority of a URI: "//" [user information "@"] host [":" port].
class URIAuthority {
 public:
  URIAuthority();
  // Parses `str`, which may start with "//": [user information "@"] host
  // [":" port]. The host is a non-empty name or a bracketed IPv6 literal; the
  // port, when its ":" is there, is 0..65535 written with one to five digits.
  // An unparseable text gives an invalid authority (Valid() false).
  explicit URIAuthority(const std::string &str);

  // Replaces the contents with the parse of `str`; returns Valid().
  bool Parse(const std::string &str);
  bool Valid() const;
  static bool Valid(const std::string &str);
  void Clear();

  const std::string &UserInfo() const;
  const std::string &Host() const;
  // The port, absent when the text names none.
  std::optional<int> Port() const;

  // "//" followed by the authority; empty for a cleared or invalid authority.
  // The port is written in decimal without leading zeros.
  std::string Str() const;
  bool operator==(const URIAuthority &other) const;

 private:
  std::string userInfo_;
  std::string host_;
  std::optional<int> port_;
  bool hasUserInfo_ = false;
  bool valid_ = false;
};

// The path of a URI: segments and whether it began with "/". Empty segments
// are kept, so "a//b" and "a/b/" survive a round trip through Str().
class URIPath {
 public:
  URIPath();
  explicit URIPath(const std::string &str);

  // Replaces the contents with the segments of `str`. Returns false (and
  // leaves an empty path) when `str` holds white space, control characters,
  // "?" or "#".
  bool Parse(const std::string &str);
  void Clear();

  bool IsAbsolute() const;
  void SetAbsolute(bool absolute = true);
  // Whether Str() is the empty text.
  bool Empty() const;
  const std::vector<std::string> &Segments() const;

  // Appends one segment (a trailing empty segment is replaced by it).
  URIPath &PushBack(const std::string &segment);
  URIPath &operator/=(const std::string &segment);
  URIPath operator/(const std::string &segment) const;

  // The segments joined by `delimiter`, with a leading delimiter when the
  // path is absolute. A path grown from an empty one has no leading delimiter.
  std::string Str(const std::string &delimiter = "/") const;
  bool operator==(const URIPath &other) const;

 private:
  std::vector<std::string> segments_;
  bool absolute_ = false;
};

class URI {
 public:
  URI();
  // Parses `str`. With `hasAuthority` true the text must carry an authority
  // ("scheme://host..."); with false, "scheme://host/a" still splits into
  // scheme, authority and path, and an empty authority ("file:///tmp") counts
  // as none.
  explicit URI(const std::string &str, bool hasAuthority = false);

  // Whether the text this URI was last parsed from was valid: a scheme (a
  // letter, then letters, digits, "+", "-", "."), ":", then the rest, with no
  // white space or control character anywhere. A URI assembled with the
  // setters is valid once it has a well-formed scheme (and a valid authority,
  // when it has one or was parsed with the has-authority flag).
  bool Valid() const;
  // Whether `str` parses as a URI (without requiring an authority).
  static bool Valid(const std::string &str);
  // Replaces the contents with the parse of `str`; returns Valid(). The
  // one-argument form keeps the has-authority flag this URI was constructed
  // or last parsed with. After a failed parse the URI is empty.
  bool Parse(const std::string &str);
  bool Parse(const std::string &str, bool hasAuthority);
  // Makes this an empty, invalid URI, as URI() (the flag becomes false).
  void Clear();

  const std::string &Scheme() const;
  void SetScheme(const std::string &scheme);

  // The authority; absent when the URI has none.
  std::optional<URIAuthority> Authority() const;
  void SetAuthority(const URIAuthority &authority);
  bool HasAuthority() const;

  URIPath &Path();
  const URIPath &Path() const;

  // Query and fragment texts, without their leading "?" and "#"; absent when
  // the URI has none.
  const std::optional<std::string> &Query() const;
  void SetQuery(const std::optional<std::string> &query);
  const std::optional<std::string> &Fragment() const;
  void SetFragment(const std::optional<std::string> &fragment);

  // The text form: scheme ":" authority path ["?" query] ["#" fragment].
  // Empty path segments survive ("https://host/a//b/" gives itself back), as
  // does an empty authority ("file:///tmp"). A relative path after an
  // authority gets its "/" separator. An empty URI, and one whose parse
  // failed, gives the empty text.
  std::string Str() const;
  // Equality of the text forms.
  bool operator==(const URI &other) const;
  bool operator!=(const URI &other) const;

 private:
  bool ParseText(const std::string &str);
  void UpdateValidity();

  std::string scheme_;
  std::optional<URIAuthority> authority_;
  URIPath path_;
  std::optional<std::string> query_;
  std::optional<std::string> fragment_;
  bool hasAuthorityFlag_ = false;
  // The text had "//" with nothing before the path ("file:///tmp").
  bool emptyAuthority_ = false;
  bool valid_ = false;
};

}  // namespace qx::common

#endif  // QX_COMMON_URI_HH_
