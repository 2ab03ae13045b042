// The files the HTTP server sends from its directory routes: the media type by a
// file's extension, and the safe mapping of a request path onto a file inside a
// route's directory.
#pragma once

#include <string>
#include <string_view>

// The media type of path by the text after its last "." (letter case aside):
// gif and jpg/jpeg images, html and pdf documents, the pages' css stylesheet;
// "application/octet-stream" for anything else.
std::string HttpMediaType(std::string_view path);

// Maps rest, what follows a directory route's prefix in a request path, onto a
// regular file inside directory. rest must be empty or begin with "/"; it is
// percent-decoded and refused when it then holds "..", a backslash or a zero
// byte; the file must exist, be a regular file and, with every symbolic link
// followed, lie inside the directory. file receives the resolved path. False for
// anything else (the request is then answered as not found).
bool HttpResolveFile(const std::string& directory, std::string_view rest, std::string& file);
