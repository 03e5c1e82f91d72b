// SeedGen.cpp - writes the seed corpora of the fuzz targets.
//
//   setuphdr-fuzz-seeds DIRECTORY
//
// Fills DIRECTORY/header, DIRECTORY/cmdline, DIRECTORY/run,
// DIRECTORY/cabinet and DIRECTORY/xml (which must exist) with named inputs
// built here: setup files made with the header's own layout constants and
// byte writers, command lines joined by the tool's own argv joiner,
// cabinets made by the tests' cabinet builder, setup XML documents, and the
// regression inputs of faults the fuzzers found. Nothing is read from disk,
// so the corpora need no binary in the repository.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "fuzz/FuzzPlatform.h"
#include "header/Endian.h"
#include "header/SetupHeader.h"
#include "runtime/Runtime.h"
#include "tests/support/CabBuilder.h"
#include "tests/support/DeflateWriter.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::string gDirectory;
unsigned gWritten = 0;

void writeSeed(const char* corpus, const std::string& name, const Bytes& bytes) {
  const std::string path = gDirectory + "/" + corpus + "/" + name;
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), out) !=
                            bytes.size() ||
      std::fclose(out) != 0) {
    std::perror(path.c_str());
    std::exit(1);
  }
  ++gWritten;
}

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

void put16(unsigned char* p, unsigned value) {
  p[0] = static_cast<unsigned char>(value);
  p[1] = static_cast<unsigned char>(value >> 8);
}

// A setup file under construction: the header plus texts appended behind it.
struct SetupFile {
  Bytes bytes = Bytes(SetupHeader::kSize, 0);

  SetupFile() {
    std::memcpy(bytes.data(), "MSCE", 4);
    writeLE32(&bytes[SetupHeader::kArchitecture], 2577);
    writeLE32(&bytes[SetupHeader::kMinVersionMajor], 3);
    writeLE32(&bytes[SetupHeader::kMaxVersionMajor], 5);
    writeLE32(&bytes[SetupHeader::kMaxVersionMinor], 99);
    for (unsigned i = 0; i < 6; ++i)
      put16(&bytes[SetupHeader::kNumStrings + 2 * i], i + 1);
  }
  // Appends raw bytes and points the text field at them (length = count).
  SetupFile& text(std::uint32_t field, const char* chars, std::size_t count) {
    put16(&bytes[field], static_cast<unsigned>(bytes.size()));
    put16(&bytes[field + 2], static_cast<unsigned>(count));
    bytes.insert(bytes.end(), chars, chars + count);
    return *this;
  }
  SetupFile& text(std::uint32_t field, const std::string& chars) {
    return text(field, chars.c_str(), chars.size() + 1);  // with its NUL
  }
  SetupFile& field32(std::uint32_t offset, std::uint32_t value) {
    writeLE32(&bytes[offset], value);
    return *this;
  }
  SetupFile& ref(std::uint32_t field, unsigned offset, unsigned length) {
    put16(&bytes[field], offset);
    put16(&bytes[field + 2], length);
    return *this;
  }
};

SetupFile sampleFile() {
  static const char kPlatforms[] = "HPC\0JUPITER\0";
  SetupFile f;
  f.text(SetupHeader::kAppNameText, "Hello CE")
      .text(SetupHeader::kProviderText, "setuphdr sample")
      .text(SetupHeader::kPlatformsText, kPlatforms, sizeof kPlatforms);
  return f;
}

// Files: valid ones of many shapes and the near misses of the check.
std::vector<std::pair<std::string, Bytes>> setupFiles() {
  std::vector<std::pair<std::string, Bytes>> files;
  files.push_back({"valid-bare-header", SetupFile().bytes});
  files.push_back({"valid-sample", sampleFile().bytes});
  {
    std::string list;
    for (int i = 0; i < 20; ++i) list += std::string("Platform_") + char('A' + i) + '\0';
    SetupFile f;
    f.text(SetupHeader::kPlatformsText, list.c_str(), list.size());
    files.push_back({"valid-list-over-126", f.bytes});
  }
  {
    static const char kNames[] = "Any\0i386\0%s%n%x\0\0";
    SetupFile f;
    f.text(SetupHeader::kProviderText, "100% %s %n")
        .text(SetupHeader::kPlatformsText, kNames, sizeof kNames);
    files.push_back({"valid-percent-signs", f.bytes});
  }
  {
    SetupFile f;  // the provider's last byte is the file's: no NUL
    f.text(SetupHeader::kProviderText, "no-nul", 6);
    files.push_back({"valid-text-without-nul-at-end", f.bytes});
  }
  {
    SetupFile f;
    f.text(SetupHeader::kPlatformsText, "AB", 2);  // a name with no NUL
    files.push_back({"valid-list-name-runs-to-end", f.bytes});
  }
  {
    SetupFile f;
    f.text(SetupHeader::kProviderText, "0123456789", 10);
    files.push_back({"valid-provider-ends-at-end", f.bytes});
    f.bytes.pop_back();
    files.push_back({"bad-provider-one-past-end", f.bytes});
  }
  {
    SetupFile f;
    f.text(SetupHeader::kAppNameText, std::string(1500, 'x'));
    files.push_back({"valid-app-name-over-1021", f.bytes});
  }
  {
    SetupFile f;
    f.text(SetupHeader::kPlatformsText, "X", 1);
    files.push_back({"valid-list-length-1", f.bytes});
  }
  {
    static const char kNames[] = "H\x1b[2JPC\0\tX\0";
    SetupFile f;
    f.text(SetupHeader::kProviderText, "Evil\x1b]0;owned\x07 Co\rX")
        .text(SetupHeader::kAppNameText, "App\x7f\x80\xe9")
        .text(SetupHeader::kPlatformsText, kNames, sizeof kNames);
    files.push_back({"valid-control-bytes", f.bytes});
  }
  files.push_back({"valid-arch-unknown", SetupFile().field32(20, 5).bytes});
  files.push_back({"valid-arch-70001", SetupFile().field32(20, 70001).bytes});
  files.push_back({"valid-texts-inside-header",
                   SetupFile()
                       .ref(SetupHeader::kProviderText, 0, 4)
                       .ref(SetupHeader::kAppNameText, 4, 60)
                       .ref(SetupHeader::kPlatformsText, 60, 40)
                       .bytes});
  {
    Bytes b = sampleFile().bytes;
    std::memcpy(b.data(), "msce", 4);
    files.push_back({"bad-signature-lower-case", b});
  }
  files.push_back({"bad-app-name-outside",
                   SetupFile().ref(SetupHeader::kAppNameText, 65535, 65535).bytes});
  files.push_back({"bad-list-outside",
                   SetupFile().ref(SetupHeader::kPlatformsText, 99, 2).bytes});
  {
    Bytes b = SetupFile().bytes;
    b.pop_back();
    files.push_back({"short-99-bytes", b});
  }
  files.push_back({"short-signature-only", bytesOf("MSCE")});
  files.push_back({"empty", Bytes()});
  return files;
}

// Command lines joined from argument lists by the tool's own joiner.
std::string joined(std::vector<const char*> arguments) {
  arguments.insert(arguments.begin(), "setuphdr");
  char* text =
      joinArguments(static_cast<int>(arguments.size()), arguments.data());
  std::string result = text != nullptr ? text : "";
  freeBlock(text);
  return result;
}

std::vector<std::string> commandLines() {
  std::vector<std::string> lines = {
      joined({"d", "sample.000"}),
      joined({"l", "sample.000", "other.cab"}),
      joined({"l", "-json", "sample.000", "other.cab"}),
      joined({"c", "-arch", "StrongARM", "-vermin", "4.21", "sample.000"}),
      joined({"c", "-arch", "strongarm", "-vermax", "5.2.1", "My Files\\a.000"}),
      joined({"c", "-arch", "70001", "-vermin", "3", "-vermax", "6.1.20", "F"}),
      joined({"c", "-vermin", "5..2", "-vermax", ".5", "F"}),
      joined({"c", "-arch", "", "F"}),
      joined({"c", "-allplatforms", "-vermax", "6", "F"}),
      joined({"d", "a\"b"}),
      "d -arch 5 f",
      "c -arch 5 -arch bad f",
      "c -arch SH3 f",
      "c -arch",
      "c -arch5 i386 f",
      "c -vermin 4.21.1.2 f",
      "c -vermin f",
      "c -vermin",
      "c - f",
      "c -foo 1 f",
      "c -archive 1 -verminx 2 -vermaxx 3 f",
      "c -allplatformsx -allplatforms f",
      "c -unsign f",
      "c -arch -allplatforms f",
      "d a b",
      "d f \t ",
      "d \"\"",
      "d \"unterminated",
      "d ab\"\"c",
      "c f",
      "c",
      "x f",
      "dd f",
      "",
      "   ",
      "c -vermax 4294967295.4294967295.4294967295 f",
      "c -vermax 4294967296 f",
      "c -arch 99999999999 f",
      "c -arch 4294967296 f",
      "c -arch ABCDEFGHIJKLMNOPQRSTUVWXYZ f",
      "d " + std::string(300, 'p'),
      "d \"" + std::string(259, 'q') + "\"",
      "l",
      "l -arch 5 f",
      "l f \"\" g",
      "l f -json",
      "l -json -jsonx f",
      "l -json",
      "d -json f",
  };
  return lines;
}

// The input of a whole run: the fault byte, the argument text, a NUL and
// the file.
Bytes runInput(unsigned faultByte, const std::string& line, const Bytes& file) {
  Bytes input;
  input.push_back(static_cast<unsigned char>(faultByte));
  input.insert(input.end(), line.begin(), line.end());
  input.push_back(0);
  input.insert(input.end(), file.begin(), file.end());
  return input;
}

std::vector<std::pair<std::string, std::string>> setupXmlDocuments();

// Cabinets: the layouts the change handles, and a few it must refuse.
std::vector<std::pair<std::string, std::string>> cabinets() {
  using cabtest::Recipe;
  const std::string setup = cabtest::setupFile(2577, "App", "Provider", 400);
  const std::string xml = setupXmlDocuments().front().second;
  std::string dll(70000, '\0');  // bytes that compress, but not to nothing
  for (std::size_t i = 0; i < dll.size(); ++i)
    dll[i] = static_cast<char>('a' + (i * 7 / 13 + i / 101) % 8);
  const std::string text = dll.substr(500, 3000);
  Recipe reserves = {{{1, 32768, cabtest::archCopy(2577, "App", "Provider")},
                    {0, 32768, "unrelated"}},
                   {{"APP.000", setup}, {"y.001", text, 1}}};
  reserves.folderReserveSize = 40;
  reserves.dataReserveSize = 3;
  reserves.headerReserve = "head";
  Recipe summed = {{{1}}, {{"APP.000", setup}, {"z.001", dll}}};
  summed.dataReserveSize = 5;
  summed.sumReserve = true;
  Recipe unchecked = {{{0, 100}}, {{"APP.000", setup}}};
  unchecked.checksums = false;
  Recipe signedRecipe = {{{1}, {0}}, {{"APP.000", setup}, {"s.001", text, 1}}};
  signedRecipe.signature = std::string(64, 'S');
  Recipe signedReserve = signedRecipe;
  signedReserve.folderReserveSize = 8;
  const std::pair<const char*, Recipe> recipes[] = {
      {"stored", {{{0}}, {{"readme.txt", text}, {"APP.000", setup}}}},
      {"mszip", {{{1}}, {{"a.txt", text}, {"APP.000", setup}, {"b", dll}}}},
      {"three-folders", {{{0}, {1}, {1, 20000, "", {}, cabtest::History::None}},
                         {{"a.001", text}, {"b.002", dll, 1},
                          {"c.003", dll, 2}, {"APP.000", setup, 2}}}},
      {"stored-header-split", {{{0, 30}}, {{"APP.000", setup}, {"x", text}}}},
      {"mszip-header-split", {{{1, 40, "", {}, cabtest::History::None}},
                              {{"x", "x.001"}, {"APP.000", setup}}}},
      // Blocks of 30000, 100, 32768 and 1000 bytes: written with no
      // back-references they mean the same to every reader, written
      // against the last 32 KiB or the frame they do not.
      {"short-blocks", {{{1, 32768, "", {30000, 100}, cabtest::History::None}},
                        {{"APP.000", setup}, {"b", dll.substr(0, 63468)}}}},
      {"short-blocks-sliding", {{{1, 32768, "", {30000, 100}}},
                                {{"APP.000", setup}, {"b", dll.substr(0, 63468)}}}},
      {"short-blocks-frame", {{{1, 32768, "", {30000, 100},
                               cabtest::History::Frame}},
                              {{"APP.000", setup}, {"b", dll.substr(0, 63468)}}}},
      {"folder-reserve-arch-copy", reserves},
      {"data-reserve-summed", summed},
      {"no-checksums", unchecked},
      {"signed", signedRecipe},
      {"signed-folder-reserve", signedReserve},
      {"no-setup-file", {{{0}}, {{"a.001", text}}}},
      {"two-setup-files", {{{0}, {1}}, {{"A.000", setup}, {"B.000", setup, 1}}}},
      // A setup XML: alone in the last folder, in the setup file's folder
      // with members behind it, as all a cabinet carries, unreadable, two
      // (beside a setup file and alone).
      {"setup-xml-last-folder",
       {{{1}, {1}}, {{"APP.000", setup}, {"b", dll}, {"_setup.xml", xml, 1}}}},
      {"setup-xml-same-folder",
       {{{1, 2000, "", {}, cabtest::History::None}},
        {{"_SETUP.XML", xml}, {"APP.000", setup}, {"x", text}}}},
      {"setup-xml-only", {{{0}}, {{"b", text}, {"_setup.xml", xml}}}},
      {"setup-xml-unreadable",
       {{{0}}, {{"APP.000", setup}, {"_setup.xml", xml.substr(0, 200)}}}},
      {"setup-xml-two",
       {{{0}}, {{"APP.000", setup}, {"_setup.xml", xml}, {"_Setup.xml", xml}}}},
      {"setup-xml-two-only",
       {{{0}}, {{"_setup.xml", xml}, {"_Setup.xml", xml}}}},
  };
  std::vector<std::pair<std::string, std::string>> all;
  for (const auto& recipe : recipes)
    all.push_back({recipe.first, cabtest::build(recipe.second)});
  // Hand-made MSZIP blocks (block 1, 1000 bytes, behind the setup file's
  // block): forms libmspack reads as zlib does, and forms it reads
  // otherwise, which the change refuses.
  const std::string stream = setup + dll.substr(0, 32768 + 1000 + 3000);
  const std::string second = stream.substr(32768, 1000);
  cabtest::DeflateWriter withZero;  // a repeat of a 0 behind zeros
  std::vector<cabtest::Sent> sent(256, {9, 0});
  sent.insert(sent.end(), {{2, 0}, {2, 0}, {0, 0}, {17, 0}, {16, 0},
                           {1, 0}, {1, 0}});
  std::vector<unsigned> code(256, 9);
  code.insert(code.end(), {2, 2});
  withZero.dynamic({264, 3, {{9, 1}, {2, 3}, {0, 4}, {1, 4}, {17, 3},
                             {16, 3}},
                    sent, code},
                   second, true);
  cabtest::DeflateWriter oneDistance;  // a single distance code of 1
  sent.assign(256, {9, 0});
  sent.insert(sent.end(), {{1, 0}, {1, 0}});
  code.assign(256, 9);
  code.push_back(1);
  oneDistance.dynamic({257, 1, {{9, 1}, {1, 1}}, sent, code}, second, true);
  const std::string zlibSecond = "CK" + cabtest::zlibDeflate(second);
  const std::pair<const char*, std::string> packed[] = {
      {"mszip-bytes-behind", zlibSecond + std::string("\0 junk C", 8)},
      {"mszip-ck-behind", zlibSecond + "CK" + cabtest::zlibDeflate("XYZ")},
      {"mszip-repeat-of-zero", "CK" + withZero.bytes()},
      {"mszip-one-distance-code", "CK" + oneDistance.bytes()},
  };
  for (const auto& block : packed) {
    Recipe recipe = {{{1, 32768, "", {32768, 1000}, cabtest::History::None}},
                     {{"APP.000", setup}, {"b", stream.substr(setup.size())}}};
    recipe.folders[0].packed[1] = block.second;
    all.push_back({block.first, cabtest::build(recipe)});
  }
  // The stored one cut short, with a data byte changed behind its checksum,
  // with LZX in its folder entry, with bytes behind its end.
  const std::string plain = all[0].second;
  all.push_back({"broken-truncated", plain.substr(0, plain.size() - 1)});
  std::string broken = plain;
  broken[plain.size() - 10] ^= 1;
  all.push_back({"broken-checksum", broken});
  broken = plain;
  broken[36 + 6] = 3;
  all.push_back({"broken-lzx", broken});
  all.push_back({"broken-bytes-behind", plain + "xx"});
  return all;
}

// A cabinet input: the control byte (bits 0 to 2 the fields to change, bit
// 3 the signature's removal, bit 4 the platform list's), the seven values,
// the cabinet.
Bytes cabinetInput(unsigned flags, const std::string& cabinet) {
  std::string input(1, static_cast<char>(flags));
  for (std::uint32_t value : {4000u, 6u, 1u, 2u, 7u, 0u, 300u})
    cabtest::put(input, input.size(), value, 4);
  return bytesOf(input + cabinet);
}

// Setup XML documents after the _setup.xml of real cabinets (CR LF lines,
// double quotes, " />" tags), in the forms XML allows and the ones the
// reader refuses or will not change.
std::vector<std::pair<std::string, std::string>> setupXmlDocuments() {
  const std::string parms =
      "<parm name=\"InstallPhase\" value=\"install\" />\r\n"
      "<parm name=\"ProcessorType\" value=\"2336\" />\r\n"
      "<parm name=\"OSVersionMin\" value=\"4.0\" />\r\n"
      "<parm name=\"OSVersionMax\" value=\"100.0\" />\r\n"
      "<parm name=\"BuildNumberMin\" value=\"0\" />\r\n"
      "<parm name=\"BuildNumberMax\" value=\"-536870912\" />\r\n"
      "<parm name=\"AppName\" value=\"NSB Runtime\" />\r\n"
      "<parm name=\"InstallDir\" value=\"%CE1%\" translation=\"install\" />\r\n";
  const auto document = [](const std::string& install,
                           const std::string& before = "") {
    return before + "<wap-provisioningdoc>\r\n<characteristic type=\"Install\">\r\n" +
           install +
           "</characteristic>\r\n<characteristic type=\"FileOperation\">\r\n"
           "<characteristic type=\"%InstallDir%\" translation=\"install\">\r\n"
           "<characteristic type=\"MakeDir\" />\r\n"
           "<characteristic type=\"basic.exe\" translation=\"install\">\r\n"
           "<characteristic type=\"Extract\">\r\n"
           "<parm name=\"Source\" value=\"000basic.001\" />\r\n"
           "</characteristic>\r\n</characteristic>\r\n</characteristic>\r\n"
           "</characteristic>\r\n<characteristic type=\"Registry\">\r\n"
           "<characteristic type=\"HKCR\\nsbfile\\Shell\\Open\\Command\">\r\n"
           "<parm name=\"Default\" value=\"&quot;%InstallDir%\\basic.exe&quot; "
           "&quot;%1&quot;\" datatype=\"string\" />\r\n"
           "</characteristic>\r\n</characteristic>\r\n</wap-provisioningdoc>";
  };
  std::string netcf = parms;  // no ProcessorType, a max of 6.999
  netcf.erase(netcf.find("<parm name=\"ProcessorType\""),
              sizeof "<parm name=\"ProcessorType\" value=\"2336\" />\r\n" - 1);
  netcf.replace(netcf.find("100.0"), 5, "6.999");
  return {
      {"builder", document(parms)},
      {"netcf", document(netcf)},
      {"declaration-bom-comments",
       document("<!-- checks -->\r\n" + parms,
                "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<?pi x?>\r\n")},
      {"quotes-spacing-entities",
       document("<parm\r\n value = '&#52;.0'\tname='OSVersionMin'/>\r\n"
                "<parm name=\"AppName\" value=\"A &amp; B &lt;&gt;\"></parm>\r\n"
                "<parm value=\"10003\" name=\"Processor&#84;ype\" />\r\n")},
      {"values-not-numbers",
       document("<parm name=\"ProcessorType\" value=\" 2577\" />\r\n"
                "<parm name=\"OSVersionMin\" value=\"4\" />\r\n"
                "<parm name=\"BuildNumberMax\" value=\"-2147483649\" />\r\n")},
      {"second-parm", document(parms + "<parm name=\"ProcessorType\" value=\"1\" />\r\n")},
      {"parm-without-value", document("<parm name=\"OSVersionMax\" />\r\n")},
      {"parm-name-case", document("<parm name=\"processortype\" value=\"1\" />\r\n")},
      {"second-install",
       "<wap-provisioningdoc>\r\n<characteristic type=\"Install\">\r\n" + parms +
           "</characteristic>\r\n<characteristic type=\"Install\" />\r\n"
           "</wap-provisioningdoc>"},
      {"no-install", "<wap-provisioningdoc>\r\n</wap-provisioningdoc>"},
      {"doctype", document(parms, "<!DOCTYPE wap-provisioningdoc [ <!ENTITY e \"1\"> ]>\r\n")},
      {"encoding-latin1", document(parms, "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>")},
      {"root-other", "<provisioningdoc/>"},
      {"mismatched-tag", "<wap-provisioningdoc>\r\n<characteristic>\r\n</wap-provisioningdoc>"},
  };
}

// A setup XML input: the control byte (bits 0 to 2 the fields to change,
// bits 3 to 5 the document's own values for them), the seven values, the
// document.
Bytes setupXmlInput(unsigned flags, const std::string& document) {
  std::string input(1, static_cast<char>(flags));
  for (std::uint32_t value : {10003u, 5u, 2u, 0u, 100u, 0u, 3758096384u})
    cabtest::put(input, input.size(), value, 4);
  return bytesOf(input + document);
}

// Inputs that once made a target fail, kept as regression cases. Each is
// the exact input of its target, spelled out here.
void writeRegressions() {
  // Member "x" is bytes 20 to 23 of the setup file, its architecture: the
  // change rewrote x along with the setup file.
  std::string cabinet = cabtest::build(
      {{{0}}, {{"APP.000", cabtest::setupFile(2577, "", "", 102)}, {"x", ""}}});
  const std::size_t entry = 36 + 8 + 16 + sizeof "APP.000";  // of x
  cabtest::put(cabinet, entry, 4, 4);
  cabtest::put(cabinet, entry + 4, 20, 4);
  writeSeed("cabinet", "member-in-setup-header", cabinetInput(0x01, cabinet));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: setuphdr-fuzz-seeds DIRECTORY\n");
    return 2;
  }
  gDirectory = argv[1];
  fuzzplatform::reset();

  const auto files = setupFiles();
  for (const auto& file : files) writeSeed("header", file.first, file.second);

  // Command-line inputs: the text, a NUL, then words for the comparison
  // and the argv re-join, and a last byte that picks the scanner knobs.
  const auto lines = commandLines();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::string input = lines[i];
    input += std::string("\0arch\0StrongARM\0a b\0\"q\"\0", 24);
    input += static_cast<char>(i * 37);
    writeSeed("cmdline", "line-" + std::to_string(i), bytesOf(input));
  }

  // Whole runs: every fault with a few lines and files, and every line
  // with every file without a fault.
  const unsigned kFaults = static_cast<unsigned>(fuzzplatform::Fault::Count);
  for (unsigned fault = 0; fault < kFaults; ++fault) {
    for (std::size_t line = 0; line < lines.size(); ++line) {
      for (const auto& file : files) {
        const bool everyFile = fault == 0 && line < 9;
        const bool fewFiles = line < 3 && (file.first == "valid-sample" ||
                                           file.first == "bad-signature-lower-case");
        if (!everyFile && !fewFiles && !(fault == 0 && file.first == "valid-sample"))
          continue;
        writeSeed("run",
                  "fault" + std::to_string(fault) + "-line" +
                      std::to_string(line) + "-" + file.first,
                  runInput(fault, lines[line], file.second));
      }
    }
  }
  // The report to a terminal (bit 4 of the fault byte), of every file.
  for (const auto& file : files)
    writeSeed("run", "terminal-line0-" + file.first,
              runInput(0x10, lines[0], file.second));

  // Cabinets: every change with the signature's removal, the architecture
  // alone, the platform list alone, and no change.
  for (const auto& cabinet : cabinets()) {
    for (unsigned flags : {0x1Fu, 0x01u, 0x10u, 0x00u})
      writeSeed("cabinet", cabinet.first + "-" + std::to_string(flags),
                cabinetInput(flags, cabinet.second));
  }

  // Setup XML documents: every change, a change to the values they hold,
  // the architecture alone, and no change.
  for (const auto& document : setupXmlDocuments()) {
    for (unsigned flags : {0x07u, 0x3Fu, 0x01u, 0x00u})
      writeSeed("xml", document.first + "-" + std::to_string(flags),
                setupXmlInput(flags, document.second));
  }

  writeRegressions();
  std::printf("%u seeds written to %s\n", gWritten, gDirectory.c_str());
  return 0;
}
