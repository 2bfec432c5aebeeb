// URL helpers of the HTTP client: splitting a URL into its parts, the document name of a
// request path, the directory of a path and the extension of a file name.
//
// All of them are pure string functions on UTF-16 text. They never fail: any input gives
// possibly empty parts. Thread-safe (no shared state).
#pragma once

#include "platform/text.h"

// Splits URL into protocol, user, password, host, port and path. Path is also read on entry:
// its value there is the base against which "./x" and "../x" are resolved. Nothing is
// decoded; the query and any fragment stay in Path. Proto comes out lower-cased; an empty
// Proto means the URL named none (host/path, host:port).
void SplitUrl(const String& URL, String& Proto, String& User, String& Pass, String& Host,
              String& Port, String& Path);

// Replaces DocName, preset to a request path, with the path's last segment without its query;
// a path that is empty or ends with "/" gives "document.htm".
void DocNameFromPath(String& DocName);

// The path up to and including the last "/" or ":" before the first "?"; empty if none.
String UrlDirectory(const String& Path);

// Replaces everything after the last "." of FName by Ext (given without a dot); a name without
// a "." gets "." and Ext appended.
void ReplaceExtension(String& FName, const String& Ext);
