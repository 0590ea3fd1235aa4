// The environment of a standard CGI program: the meta-variables of CGI/1.1,
// the request's header lines as HTTP_ variables, the common extensions
// real programs look for, and the configured cgi-env variables.
//
// Some header lines never become variables: Content-Length and Content-Type
// have their own; Authorization and Proxy-Authorization carry credentials;
// Proxy would become HTTP_PROXY, which many libraries take as their proxy;
// and a name with "_" (or any character outside a token) could pass for
// another header once "-" is written as "_". Lines with the same name are
// joined into one variable.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cgi/CgiRun.h"
#include "cgi/HeaderText.h"
#include "config/ConfigTbl.h"
#include "platform/platform.h"

namespace {

// A growing environment block: NAME=value NUL ... NUL NUL.
struct EnvBlock {
  char *data;
  size_t used;
  size_t size;
  bool failed;
};

bool Reserve(EnvBlock *block, size_t more) {
  if (block->failed) return false;
  if (block->used + more + 1 <= block->size) return true;
  size_t size = block->size ? block->size : 4096;
  while (block->used + more + 1 > size) size *= 2;
  char *data = static_cast<char *>(realloc(block->data, size));
  if (!data) {
    block->failed = true;
    return false;
  }
  block->data = data;
  block->size = size;
  return true;
}

void AppendBytes(EnvBlock *block, const char *bytes, size_t length) {
  memcpy(block->data + block->used, bytes, length);
  block->used += length;
}

// Whether the block holds a variable of this name.
bool Holds(const EnvBlock *block, const char *name, size_t length) {
  for (size_t at = 0; at < block->used; at += strlen(block->data + at) + 1) {
    const char *variable = block->data + at;
    if (strncmp(variable, name, length) == 0 && variable[length] == '=') return true;
  }
  return false;
}

// NAME=value as one string of the block.
void Put(EnvBlock *block, const char *name, const char *value) {
  size_t nameLength = strlen(name), valueLength = strlen(value);
  if (!Reserve(block, nameLength + valueLength + 2)) return;
  AppendBytes(block, name, nameLength);
  AppendBytes(block, "=", 1);
  AppendBytes(block, value, valueLength);
  block->data[block->used++] = '\0';
}

void PutNumber(EnvBlock *block, const char *name, long long value) {
  char text[32];
  snprintf(text, sizeof text, "%lld", value);
  Put(block, name, text);
}

// Whether a header line may become an HTTP_ variable.
bool Passes(const char *name) {
  static const char *const Withheld[] = {"Content-Length", "Content-Type", "Authorization",
                                         "Proxy-Authorization", "Proxy"};
  if (!*name) return false;
  for (const char *at = name; *at; ++at)
    if (!HeaderTokenCharacter(*at) || *at == '_') return false;
  for (const char *withheld : Withheld)
    if (HeaderNamesEqual(name, withheld)) return false;
  return true;
}

// HTTP_ and the name in capitals, "-" written as "_".
void VariableName(const char *name, char *out, size_t size) {
  size_t used = snprintf(out, size, "HTTP_");
  for (; *name && used + 1 < size; ++name) {
    char c = *name;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    out[used++] = c == '-' ? '_' : c;
  }
  out[used] = '\0';
}

// One variable for each name, the values of repeated lines joined ("; " for
// cookies, ", " for any other).
void PutFields(EnvBlock *block, const CgiMeta *meta) {
  for (int i = 0; i < meta->fieldCount; ++i) {
    const CgiField &field = meta->fields[i];
    if (!Passes(field.name)) continue;
    bool earlier = false;
    for (int j = 0; j < i && !earlier; ++j) earlier = HeaderNamesEqual(meta->fields[j].name, field.name);
    if (earlier) continue;
    const char *separator = HeaderNamesEqual(field.name, "Cookie") ? "; " : ", ";
    size_t length = strlen(field.value);
    for (int j = i + 1; j < meta->fieldCount; ++j)
      if (HeaderNamesEqual(meta->fields[j].name, field.name))
        length += strlen(separator) + strlen(meta->fields[j].value);
    char *value = static_cast<char *>(malloc(length + 1));
    if (!value) {
      block->failed = true;
      return;
    }
    strcpy(value, field.value);
    for (int j = i + 1; j < meta->fieldCount; ++j) {
      if (!HeaderNamesEqual(meta->fields[j].name, field.name)) continue;
      strcat(value, separator);
      strcat(value, meta->fields[j].value);
    }
    char name[300];
    VariableName(field.name, name, sizeof name);
    Put(block, name, value);
    free(value);
  }
}

// The configured variables, unless a meta-variable of the same name is set.
void PutConfigured(EnvBlock *block) {
  for (const CgiEnvEntry *entry = ConfigTbl->cgi_env; entry; entry = entry->next) {
    const char *equals = strchr(entry->variable, '=');
    size_t nameLength = static_cast<size_t>(equals - entry->variable);
    if (Holds(block, entry->variable, nameLength)) continue;
    size_t length = strlen(entry->variable);
    if (!Reserve(block, length + 1)) return;
    AppendBytes(block, entry->variable, length);
    block->data[block->used++] = '\0';
  }
}

}  // namespace

char *CgiStandardEnvironment(const CgiRequest *request, const CgiMeta *meta) {
  EnvBlock block = {nullptr, 0, 0, false};
  Put(&block, "GATEWAY_INTERFACE", "CGI/1.1");
  Put(&block, "SERVER_SOFTWARE", "tarveld/" TARVELD_VERSION);
  Put(&block, "SERVER_NAME", meta->serverName);
  PutNumber(&block, "SERVER_PORT", meta->serverPort);
  Put(&block, "SERVER_PROTOCOL", meta->protocol);
  Put(&block, "REQUEST_METHOD", meta->method);
  Put(&block, "REQUEST_URI", meta->requestUri);
  Put(&block, "SCRIPT_NAME", meta->scriptName);
  Put(&block, "SCRIPT_FILENAME", request->scriptPath);
  if (meta->pathInfo[0]) Put(&block, "PATH_INFO", meta->pathInfo);
  if (meta->pathTranslated) Put(&block, "PATH_TRANSLATED", meta->pathTranslated);
  Put(&block, "QUERY_STRING", request->query ? request->query : "");
  Put(&block, "DOCUMENT_ROOT", meta->documentRoot);
  Put(&block, "REMOTE_ADDR", meta->remoteAddress);
  PutNumber(&block, "REMOTE_PORT", meta->remotePort);
  Put(&block, "REDIRECT_STATUS", "200");
  if (meta->body) {
    PutNumber(&block, "CONTENT_LENGTH", static_cast<long long>(meta->bodyLength));
    if (meta->contentType) Put(&block, "CONTENT_TYPE", meta->contentType);
  }
  PutFields(&block, meta);
  PutConfigured(&block);
  if (!Reserve(&block, 1)) {
    free(block.data);
    return nullptr;
  }
  block.data[block.used] = '\0';  // the block's final NUL
  return block.data;
}
