// The substitute service's downloads: ranges for resuming, only the catalog's files, gzip when asked.
#include "service_fixture.h"

#include <string>
#include <vector>

namespace servicetest {
namespace {

TEST_F(ServiceTest, DownloadsAreByteIdenticalAndResume) {
  Start(Options());
  httplib::Result whole = client->Get("/files/beta.bin");
  ASSERT_TRUE(whole);
  EXPECT_EQ(200, whole->status);
  EXPECT_TRUE(whole->body == beta);
  EXPECT_EQ("200000", whole->get_header_value("Content-Length"));
  EXPECT_EQ("application/octet-stream", whole->get_header_value("Content-Type"));
  EXPECT_EQ("bytes", whole->get_header_value("Accept-Ranges"));

  // The client resumes with "Range:bytes=N-", without a blank after the colon.
  const size_t kept = 70000;
  RawResponse resumed = SplitResponse(RawExchange(
      service->port(),
      "GET /files/beta.bin HTTP/1.1\r\nHost: 127.0.0.1\r\nRange:bytes=70000-\r\nConnection: close\r\n\r\n"));
  EXPECT_EQ("HTTP/1.1 206 Partial Content", resumed.statusLine);
  EXPECT_NE(std::string::npos, resumed.headers.find("Content-Range: bytes 70000-199999/200000\r\n"));
  EXPECT_NE(std::string::npos, resumed.headers.find("Content-Length: 130000\r\n"));
  EXPECT_TRUE(beta.substr(0, kept) + resumed.body == beta);

  httplib::Result head = client->Get("/files/beta.bin", {{"Range", "bytes=0-9"}});
  ASSERT_TRUE(head);
  EXPECT_EQ(206, head->status);
  EXPECT_TRUE(head->body == beta.substr(0, 10));
  httplib::Result tail = client->Get("/files/beta.bin", {{"Range", "bytes=-5"}});
  ASSERT_TRUE(tail);
  EXPECT_EQ("bytes 199995-199999/200000", tail->get_header_value("Content-Range"));
  EXPECT_TRUE(tail->body == beta.substr(199995));
  httplib::Result pastEnd = client->Get("/files/beta.bin", {{"Range", "bytes=199990-300000"}});
  ASSERT_TRUE(pastEnd);
  EXPECT_EQ(206, pastEnd->status);
  EXPECT_TRUE(pastEnd->body == beta.substr(199990));
  // Several ranges are not served piecewise: the whole file comes back.
  httplib::Result several = client->Get("/files/beta.bin", {{"Range", "bytes=0-1, 5-6"}});
  ASSERT_TRUE(several);
  EXPECT_EQ(200, several->status);
  EXPECT_TRUE(several->body == beta);

  httplib::Result beyond = client->Get("/files/beta.bin", {{"Range", "bytes=200000-"}});
  ASSERT_TRUE(beyond);
  EXPECT_EQ(416, beyond->status);
  EXPECT_EQ("bytes */200000", beyond->get_header_value("Content-Range"));
  EXPECT_EQ("", beyond->body);

  httplib::Result empty = client->Get("/files/empty.txt");
  ASSERT_TRUE(empty);
  EXPECT_EQ(200, empty->status);
  EXPECT_EQ("0", empty->get_header_value("Content-Length"));
  EXPECT_NE("", empty->get_header_value("Content-Type"));

  // Only the catalog's files are served.
  for (const char* path : {"/files/missing.txt", "/files/catalog.ini", "/files/..%5Ccatalog.ini", "/files/"}) {
    httplib::Result refused = client->Get(path);
    ASSERT_TRUE(refused);
    EXPECT_EQ(404, refused->status) << path;
  }
}

TEST_F(ServiceTest, GzipOnlyWhenAskedAndAllowed) {
  Start(Options());
  std::string query = Utf16Body(QueryPacket(And(Meta(L"distributionLanguage", L"de"))));
  httplib::Result plain = Post(kQueryCmd, query);
  httplib::Result packed = Post(kQueryCmd, query, {{"Accept-Encoding", "gzip"}});
  httplib::Result refused = Post(kQueryCmd, query, {{"Accept-Encoding", "gzip;q=0, deflate"}});
  ASSERT_TRUE(plain && packed && refused);
  EXPECT_EQ("", plain->get_header_value("Content-Encoding"));
  EXPECT_EQ("", refused->get_header_value("Content-Encoding"));
  EXPECT_EQ("gzip", packed->get_header_value("Content-Encoding"));
  EXPECT_EQ(std::to_string(packed->body.size()), packed->get_header_value("Content-Length"));
  // The compressed answer is the plain one (but for its time).
  EXPECT_EQ(MaskDate(plain->body), MaskDate(Gunzip(packed->body)));
  EXPECT_EQ(Ids({"B1"}), ReadAnswer(plain->body).ids);

  // Downloads are not compressed unless the option says so.
  httplib::Result file = client->Get("/files/beta.bin", {{"Accept-Encoding", "gzip"}});
  ASSERT_TRUE(file);
  EXPECT_EQ("", file->get_header_value("Content-Encoding"));
  EXPECT_TRUE(file->body == beta);

  service.reset();
  Start(Options({L"--no-gzip-answers", L"--gzip-downloads"}));
  packed = Post(kQueryCmd, query, {{"Accept-Encoding", "gzip"}});
  ASSERT_TRUE(packed);
  EXPECT_EQ("", packed->get_header_value("Content-Encoding"));
  EXPECT_EQ(Ids({"B1"}), ReadAnswer(packed->body).ids);

  // A compressed download resumes within the compressed stream; it decodes to the file whose size and
  // checksum the catalog announces.
  httplib::Result compressed = client->Get("/files/beta.bin", {{"Accept-Encoding", "gzip"}});
  ASSERT_TRUE(compressed);
  EXPECT_EQ("gzip", compressed->get_header_value("Content-Encoding"));
  EXPECT_EQ(std::to_string(compressed->body.size()), compressed->get_header_value("Content-Length"));
  httplib::Result rest = client->Get("/files/beta.bin", {{"Accept-Encoding", "gzip"}, {"Range", "bytes=100-"}});
  ASSERT_TRUE(rest);
  EXPECT_EQ(206, rest->status);
  EXPECT_TRUE(compressed->body.substr(0, 100) + rest->body == compressed->body);
  EXPECT_TRUE(Gunzip(compressed->body) == beta);
  httplib::Result uncompressed = client->Get("/files/beta.bin");
  ASSERT_TRUE(uncompressed);
  EXPECT_EQ("", uncompressed->get_header_value("Content-Encoding"));
  EXPECT_TRUE(uncompressed->body == beta);
  httplib::Result listed = Post(kQueryCmd, query);
  ASSERT_TRUE(listed);
  EXPECT_EQ(std::vector<std::string>({"200000"}), ElementTexts(listed->body, "downloadSize"));
}

// --cut-once: the first body longer than the cut ends there, its connection closed as a broken network
// closes it, after the headers announced the whole length. A shorter body before it is whole, and so are
// the resume and every answer after it.
TEST_F(ServiceTest, CutOnceEndsOneBodyShort) {
  Start(Options({L"--cut-once", L"70000"}));
  httplib::Result small = client->Get("/files/alpha.txt");
  ASSERT_TRUE(small);
  EXPECT_EQ(kPangram, small->body);
  const std::string get = "GET /files/beta.bin HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
  RawResponse cut = SplitResponse(RawExchange(service->port(), get + "\r\n"));
  EXPECT_EQ("HTTP/1.1 200 OK", cut.statusLine);
  EXPECT_NE(std::string::npos, cut.headers.find("Content-Length: 200000\r\n"));
  EXPECT_TRUE(cut.body == beta.substr(0, 70000)) << cut.body.size() << " bytes";
  RawResponse resumed = SplitResponse(RawExchange(service->port(), get + "Range:bytes=70000-\r\n\r\n"));
  EXPECT_EQ("HTTP/1.1 206 Partial Content", resumed.statusLine);
  EXPECT_TRUE(cut.body + resumed.body == beta) << resumed.body.size() << " bytes";
  RawResponse whole = SplitResponse(RawExchange(service->port(), get + "\r\n"));
  EXPECT_TRUE(whole.body == beta) << whole.body.size() << " bytes";
  std::vector<std::string> logged = WaitForLines(4);
  ASSERT_EQ(4u, logged.size());
  EXPECT_NE(std::string::npos, logged[1].find("GET /files/beta.bin -> 200 200000 bytes, cut after 70000 bytes"))
      << logged[1];
  EXPECT_EQ(std::string::npos, logged[2].find("cut")) << logged[2];
}

}  // namespace
}  // namespace servicetest
