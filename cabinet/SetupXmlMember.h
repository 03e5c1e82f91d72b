// SetupXmlMember.h - the setup XML of a cabinet (_setup.xml), the copy of
// the install checks that Windows Mobile 5 and later read: the member by
// its name, and its change as the pass of a change meets it (the document
// itself: header/SetupXml.h).
#ifndef SETUPHDR_CABINET_SETUPXMLMEMBER_H
#define SETUPHDR_CABINET_SETUPXMLMEMBER_H

#include <cstdint>

#include "cabinet/Cabinet.h"
#include "cabinet/FolderRelayout.h"
#include "cabinet/SetupSearch.h"
#include "header/HeaderReport.h"
#include "header/SetupXml.h"

/// True when a member's name (length bytes) is "_setup.xml", ASCII letters
/// in any case.
bool isSetupXmlName(const unsigned char* name, std::uint32_t length);

/// The change of the setup XML, planned once the pass has copied it whole.
struct SetupXmlChange {
  SetupMember copy;       // the document; bytes null without one, or over
                          // kSetupXmlSizeLimit
  SetupXml xml;           // as read
  SetupXmlEditPlan plan;  // count 0: nothing to change
  const char* problem;    // why it cannot be changed, or null
  bool planned;
};

/// Reads the copied document and plans its change for changes (only the
/// architecture and the version ranges have a counterpart in it). Sets
/// problem when the document cannot be read, or a value the change needs
/// cannot be replaced.
void planSetupXmlChange(SetupXmlChange* change, const ChangeRequest& changes);

/// For a change of the setup XML's size: refuses (Unhandled, with its
/// line) a cabinet in which another member shares the document's bytes, or
/// lies between its first and its last byte, since the members behind the
/// document move with its end.
CabStatus checkSetupXmlAlone(const Cabinet& cabinet, std::uint32_t index);

/// The planned document as the new bytes of its member at start of its
/// folder's stream (the change must stay alive while they are written).
MemberReplacement setupXmlReplacement(const SetupXmlChange& change,
                                      std::uint32_t start);

/// True when document (size bytes), the planned new document, reads back
/// with every present parm the change touches holding the value asked for
/// and every other parm as it was, and equals the old document but inside
/// the planned value ranges. The check of a change before it is written.
bool setupXmlEditHolds(const SetupXmlChange& change,
                       const ChangeRequest& changes,
                       const unsigned char* document, std::uint32_t size);

/// Releases what the change holds; safe at any point.
void releaseSetupXmlChange(SetupXmlChange* change);

#endif
