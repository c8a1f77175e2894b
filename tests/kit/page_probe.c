/* page-probe: what a person sees of an installer's window, read through the window tree, for
 * scripts/test-kit's runs of the NSIS example under a real display.
 *
 *   usage: page-probe TITLE
 *
 * Finds a visible top-level window whose title begins with TITLE (an NSIS installer adds the page's name)
 * and prints it and each of its visible descendants, one line each, in UTF-8, with screen coordinates:
 *   window X Y WIDTH HEIGHT TITLE
 *   control CLASS ID X Y WIDTH HEIGHT enabled|disabled TEXT
 *   progress ID X Y WIDTH HEIGHT POSITION LOW HIGH         (progress bars, in place of their control line)
 * Exit codes: 0 printed, 1 no such window, 2 usage. */
#include <windows.h>
#include <commctrl.h>

#include <stdio.h>
#include <wchar.h>

static void PrintUtf8(const wchar_t* text) {
  char buffer[2048];
  int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, (int)sizeof buffer, NULL, NULL);
  if (size == 0) buffer[0] = '\0';
  /* One line per window: line breaks of a multi-line label become blanks. */
  for (char* c = buffer; *c != '\0'; ++c) {
    if (*c == '\r' || *c == '\n') *c = ' ';
  }
  fputs(buffer, stdout);
}

static BOOL CALLBACK PrintControl(HWND window, LPARAM unused) {
  (void)unused;
  if (!IsWindowVisible(window)) return TRUE;
  wchar_t name[64], text[1024];
  RECT r;
  GetClassNameW(window, name, 64);
  GetWindowTextW(window, text, 1024);
  GetWindowRect(window, &r);
  const int id = GetDlgCtrlID(window);
  if (lstrcmpiW(name, PROGRESS_CLASSW) == 0) {
    const LRESULT position = SendMessageW(window, PBM_GETPOS, 0, 0);
    const LRESULT low = SendMessageW(window, PBM_GETRANGE, TRUE, 0);
    const LRESULT high = SendMessageW(window, PBM_GETRANGE, FALSE, 0);
    printf("progress %d %ld %ld %ld %ld %ld %ld %ld\n", id, r.left, r.top, r.right - r.left, r.bottom - r.top,
           (long)position, (long)low, (long)high);
    return TRUE;
  }
  printf("control ");
  PrintUtf8(name);
  printf(" %d %ld %ld %ld %ld %s ", id, r.left, r.top, r.right - r.left, r.bottom - r.top,
         IsWindowEnabled(window) ? "enabled" : "disabled");
  PrintUtf8(text);
  printf("\n");
  return TRUE;
}

struct Search {
  const wchar_t* prefix;
  HWND found;
};

static BOOL CALLBACK MatchTitle(HWND window, LPARAM context) {
  struct Search* search = (struct Search*)context;
  wchar_t title[256];
  const int length = lstrlenW(search->prefix);
  if (IsWindowVisible(window) && GetWindowTextW(window, title, 256) >= length &&
      wcsncmp(title, search->prefix, (size_t)length) == 0) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: page-probe TITLE\n");
    return 2;
  }
  struct Search search = {argv[1], NULL};
  EnumWindows(MatchTitle, (LPARAM)&search);
  if (search.found == NULL) return 1;
  wchar_t title[256];
  RECT r;
  GetWindowTextW(search.found, title, 256);
  GetWindowRect(search.found, &r);
  printf("window %ld %ld %ld %ld ", r.left, r.top, r.right - r.left, r.bottom - r.top);
  PrintUtf8(title);
  printf("\n");
  EnumChildWindows(search.found, PrintControl, 0);
  return 0;
}
