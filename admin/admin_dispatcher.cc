// fnTvx of the administration plug-in: every response starts with the header
// block and the page header; the command word in "cmd" picks the catalogue, a
// record listing or a deletion, and the footer follows where the command's
// page calls for one. The page is written through one PageWriter, and a page
// the heap could not hold whole is answered with "Not enough memory" at the
// end of fnTvx, and nowhere else.
#include <string.h>

#include "admin_parameters.h"
#include "database_catalogue.h"
#include "record_browser.h"
#include "error_page.h"
#include "page_writer.h"
#include "request_form.h"
#include "string_util.h"
#include "tvx_export.h"

namespace {

const char kHeaderBlock[] = "Content-Type: text/html\r\n\r\n";

const char kPageHeader[] =
    "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=shift_jis\">\n"
    "<HTML><HEAD>\n"
    "<TITLE>TULVAN BBS</TITLE>\n"
    "</HEAD>\n"
    "<BODY>\n";

const char kPageFooter[] =
    "<HR><A HREF=\"https://corkwall.example/\">TULVAN BBS by Vandrel</A></BODY></HTML>\n";

// The page of the command in "cmd", header and footer included.
void WriteAdminPage(RequestForm* form, PageWriter* page) {
  page->Put(kHeaderBlock);
  page->Put(kPageHeader);

  char command[64];
  memset(command, 0, sizeof(command));
  GetAdminParameter(form, "cmd=", command, sizeof(command) - 1);

  if (CompareNoCase(command, "deletedb") == 0) {
    DeleteBoardDatabase(form, page);
    page->Put(kPageFooter);
  } else if (CompareNoCase(command, "deleteitem") == 0) {
    // The listing after a deletion has no footer of its own.
    if (DeleteBoardRecord(form, page)) ListBoardRecords(form, page);
  } else if (CompareNoCase(command, "enum") == 0) {
    if (ListBoardRecords(form, page)) page->Put(kPageFooter);
  } else {
    WriteDatabaseCatalogue(form, page);
    page->Put(kPageFooter);
  }
}

}  // namespace

TVX_EXPORT int fnTvx(ServerVariables* variables, TextBuffer* body, TextBuffer* response) {
  if (variables == NULL || body == NULL || response == NULL) return 0;
  RequestForm form(variables, body, response);

  // Emptied, keeping one block: an error page written later always fits,
  // even when the heap has run dry.
  ReserveResponse(response);
  PageWriter page(response);
  WriteAdminPage(&form, &page);
  // failed() also moves the last staged bytes into the response, before its
  // length is read.
  if (page.failed()) ErrorPage(response, kNotEnoughMemory);
  return response->length;
}
