// sax_floor: the yardstick of eventecho's benchmark. Parses one file with Xerces-C's SAX2 reader
// and handlers that do nothing, so its time is the parser's alone.
//
//   sax_floor file      exit status 0 for a document without errors, 1 otherwise
#include <cstdio>
#include <memory>
#include <xercesc/sax2/DefaultHandler.hpp>
#include <xercesc/sax2/SAX2XMLReader.hpp>
#include <xercesc/sax2/XMLReaderFactory.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLException.hpp>

using namespace xercesc;

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: sax_floor file\n");
    return 2;
  }
  XMLPlatformUtils::Initialize();
  int status = 1;
  {
    std::unique_ptr<SAX2XMLReader> reader(XMLReaderFactory::createXMLReader());
    DefaultHandler handler;
    reader->setContentHandler(&handler);
    reader->setErrorHandler(&handler);
    try {
      reader->parse(argv[1]);
      status = reader->getErrorCount() == 0 ? 0 : 1;
    } catch (const XMLException&) {
    }
  }
  XMLPlatformUtils::Terminate();
  return status;
}
