/*
 * The floor: the skills layer's six operations in plain C, with the system
 * calls the work needs and no Python object.
 *
 *   floor list     ROOT                                  skill template directories
 *   floor select   ROOT PROFILE ARTIFACT                 admitted skill names
 *   floor collect  ROOT PROFILE                          (source, destination) pairs
 *   floor validate ROOT                                  problem texts
 *   floor prune    TARGET PROFILE ARTIFACT MANIFEST_ROOT  remaining skill names
 *   floor discover HOME CWD                              installed skills, 5 fields each
 *   floor noop                                           nothing (start-up only)
 *
 * Options before the operation: `--out FILE` writes the results there, each
 * item followed by a NUL byte, for the benchmark to compare with the
 * module's.  The program prints one line of JSON on standard output: the
 * operation's wall time, user and system time (measured around the
 * operation alone, not the start-up nor the writing of results), the number
 * of items and the peak RSS.
 *
 * Directories are listed with getdents64 into a 32 KiB buffer (the size
 * glibc's readdir and the native walker use), opened relative to their
 * parent's descriptor with O_NOFOLLOW, and asked about with fstatat only
 * when the entry's type does not answer (a link, or a file system that
 * reports no types).  Files are read with openat, fstat (a FIFO or device
 * is never read) and one read of the size seen.  Deleting goes by unlinkat
 * relative to the open parent and never follows a link; a directory below
 * a tree is reached with openat2 and RESOLVE_NO_SYMLINKS where the kernel
 * has it, so that no link on the way is followed.
 *
 * What it does not do, against the modules: names are compared and sorted
 * as bytes (the same order as the interpreter's for UTF-8 names); the JSON
 * parser is minimal (objects, arrays, strings with escapes, numbers, true,
 * false, null; duplicate keys: the last wins; no NaN or Infinity, no check
 * that the text is valid UTF-8); blank tests strip ASCII white space only;
 * a version that is a JSON number is written as it stands in the file
 * (the interpreter writes floats in its own form); lower-casing for the
 * runtime markers is ASCII only; duplicate candidate directories are
 * recognised by device and inode rather than by resolved path text; no
 * audit events, no Ctrl-C checks, no descriptor cache: depth is limited by
 * the descriptors the process may open.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>
#if defined(__has_include)
#if __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#define HAVE_OPENAT2 1
#endif
#endif

/* ------------------------------------------------------------------ */
/* Memory: one arena, freed when the process ends.                     */

static char *arena_next, *arena_end;

static void *alloc(size_t size) {
  size = (size + 15) & ~(size_t)15;
  if ((size_t)(arena_end - arena_next) < size) {
    /* Chunks below malloc's mmap threshold come from the heap. */
    size_t chunk = size > (64u << 10) ? size : (64u << 10);
    arena_next = malloc(chunk);
    if (!arena_next) {
      perror("malloc");
      exit(3);
    }
    arena_end = arena_next + chunk;
  }
  void *result = arena_next;
  arena_next += size;
  return result;
}

static char *copy_text(const char *text, size_t length) {
  char *result = alloc(length + 1);
  memcpy(result, text, length);
  result[length] = '\0';
  return result;
}

static char *join(const char *a, const char *b) {
  size_t la = strlen(a), lb = strlen(b);
  char *result = alloc(la + lb + 2);
  memcpy(result, a, la);
  result[la] = '/';
  memcpy(result + la + 1, b, lb + 1);
  return result;
}

/* A growable array of pointers. */
typedef struct {
  void **items;
  size_t count, capacity;
} Vec;

static void push(Vec *vec, void *item) {
  if (vec->count == vec->capacity) {
    vec->capacity = vec->capacity ? vec->capacity * 2 : 64;
    vec->items = realloc(vec->items, vec->capacity * sizeof *vec->items);
    if (!vec->items) {
      perror("realloc");
      exit(3);
    }
  }
  vec->items[vec->count++] = item;
}

static _Noreturn void fail(const char *what, const char *path, int error) {
  fprintf(stderr, "floor: %s %s: %s\n", what, path, strerror(error));
  exit(2);
}

static _Noreturn void failf(const char *format, ...) {
  va_list args;
  va_start(args, format);
  fputs("floor: ", stderr);
  vfprintf(stderr, format, args);
  fputc('\n', stderr);
  va_end(args);
  exit(2);
}

/* ------------------------------------------------------------------ */
/* Results: the items the operation returns, in order.                 */

static Vec results;

static void result(const char *item) { push(&results, (void *)item); }

/* ------------------------------------------------------------------ */
/* System calls.                                                       */

static int open_dir(int dir, const char *name, int follow) {
  return openat(dir, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW));
}

/* A directory below `dir`, no link on the way followed. */
static int open_below(int dir, const char *relative) {
#ifdef HAVE_OPENAT2
  static int usable = 1;
  if (usable) {
    struct open_how how = {.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW,
                           .resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH};
    long fd = syscall(SYS_openat2, dir, relative, &how, sizeof how);
    if (fd >= 0 || errno != ENOSYS) {
      return (int)fd;
    }
    usable = 0;
  }
#endif
  /* Component by component. */
  char *path = copy_text(relative, strlen(relative));
  int current = dir;
  for (char *part = strtok(path, "/"); part; part = strtok(NULL, "/")) {
    int next = open_dir(current, part, 0);
    if (current != dir) {
      close(current);
    }
    if (next < 0) {
      return -1;
    }
    current = next;
  }
  return current;
}

typedef struct {
  const char *name;
  unsigned char type; /* DT_DIR, DT_REG, DT_LNK, DT_UNKNOWN or another */
} Entry;

typedef struct {
  Entry *items;
  size_t count, capacity;
} Entries;

struct linux_dirent64 {
  uint64_t d_ino;
  int64_t d_off;
  unsigned short d_reclen;
  unsigned char d_type;
  char d_name[];
};

/* Every entry of an open directory but "." and "..". */
static int read_entries(int fd, Entries *out) {
  static char buffer[32768] __attribute__((aligned(8)));
  out->count = 0;
  for (;;) {
    long count = syscall(SYS_getdents64, fd, buffer, sizeof buffer);
    if (count < 0) {
      if (errno == EINTR) {
        continue;
      }
      return errno;
    }
    if (count == 0) {
      return 0;
    }
    for (long offset = 0; offset < count;) {
      struct linux_dirent64 *entry = (struct linux_dirent64 *)(buffer + offset);
      offset += entry->d_reclen;
      const char *name = entry->d_name;
      if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) {
        continue;
      }
      if (out->count == out->capacity) {
        out->capacity = out->capacity ? out->capacity * 2 : 64;
        out->items = realloc(out->items, out->capacity * sizeof *out->items);
        if (!out->items) {
          perror("realloc");
          exit(3);
        }
      }
      out->items[out->count++] = (Entry){copy_text(name, strlen(name)), entry->d_type};
    }
  }
}

/* The entry's type with links followed (DT_DIR, DT_REG or another), asking
 * the kernel only when the listing cannot tell. */
static unsigned char followed_type(int dir, const Entry *entry) {
  if (entry->type != DT_LNK && entry->type != DT_UNKNOWN) {
    return entry->type;
  }
  struct stat status;
  if (fstatat(dir, entry->name, &status, 0) != 0) {
    return DT_UNKNOWN;
  }
  return S_ISDIR(status.st_mode) ? DT_DIR : S_ISREG(status.st_mode) ? DT_REG : DT_FIFO;
}

/* pathlib's is_dir and is_file of a listed entry. */
static int entry_is_dir(int dir, const Entry *entry) { return followed_type(dir, entry) == DT_DIR; }

static int entry_is_file(int dir, const Entry *entry) { return followed_type(dir, entry) == DT_REG; }

/* Whether it is a real directory, not a link to one (kept for descent). */
static int entry_is_real_dir(int dir, Entry *entry) {
  if (entry->type == DT_UNKNOWN) {
    struct stat status;
    if (fstatat(dir, entry->name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
      return 0;
    }
    entry->type = S_ISDIR(status.st_mode) ? DT_DIR : S_ISREG(status.st_mode) ? DT_REG
                  : S_ISLNK(status.st_mode) ? DT_LNK : DT_FIFO;
  }
  return entry->type == DT_DIR;
}

static int exists_at(int dir, const char *name) {
  struct stat status;
  return fstatat(dir, name, &status, 0) == 0;
}

/* A regular file of at most `limit` bytes, read whole: its text, NUL-ended,
 * or NULL with errno (EINVAL: not a regular file; EFBIG: too large). */
static char *read_file(int dir, const char *name, size_t limit, size_t *length) {
  int fd = openat(dir, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    return NULL;
  }
  struct stat status;
  if (fstat(fd, &status) != 0) {
    int error = errno;
    close(fd);
    errno = error;
    return NULL;
  }
  if (!S_ISREG(status.st_mode) || (size_t)status.st_size > limit) {
    close(fd);
    errno = S_ISREG(status.st_mode) ? EFBIG : EINVAL;
    return NULL;
  }
  size_t capacity = (size_t)status.st_size + 1, used = 0;
  char *text = malloc(capacity + 1);
  for (;;) {
    ssize_t count = read(fd, text + used, capacity - used);
    if (count < 0) {
      if (errno == EINTR) {
        continue;
      }
      int error = errno;
      close(fd);
      free(text);
      errno = error;
      return NULL;
    }
    used += (size_t)count;
    /* A short read of a regular file of the size seen is its end. */
    if (count == 0 || used < capacity) {
      break;
    }
    if (used > limit) {
      close(fd);
      free(text);
      errno = EFBIG;
      return NULL;
    }
    capacity *= 2;
    text = realloc(text, capacity + 1);
  }
  close(fd);
  text[used] = '\0';
  *length = used;
  return text;
}

/* ------------------------------------------------------------------ */
/* Ordering.                                                           */

/* A merge sort of pointers (glibc's qsort asks the kernel how much memory
 * the machine has before it sorts). */
static void merge_sort(void **items, void **scratch, size_t count, int (*less)(const void *, const void *)) {
  if (count < 2) {
    return;
  }
  size_t half = count / 2;
  merge_sort(items, scratch, half, less);
  merge_sort(items + half, scratch, count - half, less);
  memcpy(scratch, items, half * sizeof *items);
  size_t a = 0, b = half, out = 0;
  while (a < half && b < count) {
    items[out++] = less(&items[b], &scratch[a]) < 0 ? items[b++] : scratch[a++];
  }
  while (a < half) {
    items[out++] = scratch[a++];
  }
}

static void sort_with(Vec *vec, int (*compare)(const void *, const void *)) {
  if (vec->count > 1) {
    void **scratch = alloc(vec->count / 2 * sizeof(void *) + sizeof(void *));
    merge_sort(vec->items, scratch, vec->count, compare);
  }
}

static int compare_names(const void *a, const void *b) {
  return strcmp(*(const char *const *)a, *(const char *const *)b);
}

static void sort_names(Vec *names) { sort_with(names, compare_names); }

/* The interpreter's path order: component by component, so a separator
 * weighs less than any byte. */
static int compare_paths(const void *a, const void *b) {
  const unsigned char *x = *(const unsigned char *const *)a;
  const unsigned char *y = *(const unsigned char *const *)b;
  while (*x && *x == *y) {
    x++;
    y++;
  }
  int wx = *x == '/' ? -1 : *x, wy = *y == '/' ? -1 : *y;
  return wx - wy;
}

/* ------------------------------------------------------------------ */
/* JSON, as much as the manifest and VERSION.json need.                */

enum { J_NULL, J_FALSE, J_TRUE, J_NUMBER, J_STRING, J_ARRAY, J_OBJECT };

typedef struct Json Json;
typedef struct {
  const char *key;
  Json *value;
} Member;

struct Json {
  int type;
  const char *text; /* a string's value, a number's text */
  size_t length;    /* string length; members or elements */
  Member *members;  /* an object's, in order */
  int zero;         /* a number whose value is 0 */
};

typedef struct {
  const char *at, *end;
} Parser;

static void skip_space(Parser *p) {
  while (p->at < p->end && (*p->at == ' ' || *p->at == '\t' || *p->at == '\n' || *p->at == '\r')) {
    p->at++;
  }
}

static Json *parse_value(Parser *p, int depth);

/* Consumes `c` after white space: whether it was there. */
static int accept(Parser *p, char c) {
  skip_space(p);
  if (p->at < p->end && *p->at == c) {
    p->at++;
    return 1;
  }
  return 0;
}

static void put_utf8(char **out, unsigned code) {
  char *o = *out;
  if (code < 0x80) {
    *o++ = (char)code;
  } else if (code < 0x800) {
    *o++ = (char)(0xC0 | code >> 6);
    *o++ = (char)(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    *o++ = (char)(0xE0 | code >> 12);
    *o++ = (char)(0x80 | ((code >> 6) & 0x3F));
    *o++ = (char)(0x80 | (code & 0x3F));
  } else {
    *o++ = (char)(0xF0 | code >> 18);
    *o++ = (char)(0x80 | ((code >> 12) & 0x3F));
    *o++ = (char)(0x80 | ((code >> 6) & 0x3F));
    *o++ = (char)(0x80 | (code & 0x3F));
  }
  *out = o;
}

static int hex4(const char *at, unsigned *out) {
  unsigned value = 0;
  for (int i = 0; i < 4; i++) {
    char c = at[i];
    value <<= 4;
    if (c >= '0' && c <= '9') {
      value |= (unsigned)(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      value |= (unsigned)(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      value |= (unsigned)(c - 'A' + 10);
    } else {
      return 0;
    }
  }
  *out = value;
  return 1;
}

/* A string at p->at (after its opening quote): its value, or NULL. */
static const char *parse_string(Parser *p, size_t *length) {
  const char *start = p->at;
  const char *at = start;
  int plain = 1;
  while (at < p->end && *at != '"') {
    if (*at == '\\') {
      plain = 0;
      at++;
    } else if ((unsigned char)*at < 0x20) {
      return NULL;
    }
    at++;
  }
  if (at >= p->end) {
    return NULL;
  }
  p->at = at + 1;
  if (plain) {
    *length = (size_t)(at - start);
    return copy_text(start, *length);
  }
  /* Escapes never make the text longer. */
  char *value = alloc((size_t)(at - start) + 1), *out = value;
  for (const char *in = start; in < at;) {
    if (*in != '\\') {
      *out++ = *in++;
      continue;
    }
    in++;
    switch (*in++) {
      case '"': *out++ = '"'; break;
      case '\\': *out++ = '\\'; break;
      case '/': *out++ = '/'; break;
      case 'b': *out++ = '\b'; break;
      case 'f': *out++ = '\f'; break;
      case 'n': *out++ = '\n'; break;
      case 'r': *out++ = '\r'; break;
      case 't': *out++ = '\t'; break;
      case 'u': {
        unsigned code, low;
        if (in + 4 > at || !hex4(in, &code)) {
          return NULL;
        }
        in += 4;
        if (code >= 0xD800 && code < 0xDC00 && in + 6 <= at && in[0] == '\\' && in[1] == 'u' &&
            hex4(in + 2, &low) && low >= 0xDC00 && low < 0xE000) {
          code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
          in += 6;
        }
        put_utf8(&out, code);
        break;
      }
      default: return NULL;
    }
  }
  *out = '\0';
  *length = (size_t)(out - value);
  return value;
}

static Json *node(int type) {
  Json *value = alloc(sizeof *value);
  memset(value, 0, sizeof *value);
  value->type = type;
  return value;
}

static int literal(Parser *p, const char *word) {
  size_t length = strlen(word);
  if ((size_t)(p->end - p->at) >= length && memcmp(p->at, word, length) == 0) {
    p->at += length;
    return 1;
  }
  return 0;
}

static Json *parse_value(Parser *p, int depth) {
  if (depth > 1000) {
    return NULL;
  }
  skip_space(p);
  if (p->at >= p->end) {
    return NULL;
  }
  char c = *p->at;
  if (c == '{') {
    p->at++;
    Json *object = node(J_OBJECT);
    size_t capacity = 0;
    if (accept(p, '}')) {
      return object;
    }
    for (;;) {
      size_t key_length;
      const char *key = accept(p, '"') ? parse_string(p, &key_length) : NULL;
      if (!key || !accept(p, ':')) {
        return NULL;
      }
      Json *value = parse_value(p, depth + 1);
      if (!value) {
        return NULL;
      }
      if (object->length == capacity) {
        capacity = capacity ? capacity * 2 : 8;
        Member *grown = alloc(capacity * sizeof *grown);
        if (object->length) {
          memcpy(grown, object->members, object->length * sizeof *grown);
        }
        object->members = grown;
      }
      object->members[object->length++] = (Member){key, value};
      if (!accept(p, ',')) {
        return accept(p, '}') ? object : NULL;
      }
    }
  }
  if (c == '[') {
    p->at++;
    Json *array = node(J_ARRAY);
    if (accept(p, ']')) {
      return array;
    }
    for (;;) {
      if (!parse_value(p, depth + 1)) {
        return NULL;
      }
      array->length++;
      if (!accept(p, ',')) {
        return accept(p, ']') ? array : NULL;
      }
    }
  }
  if (c == '"') {
    p->at++;
    Json *string = node(J_STRING);
    string->text = parse_string(p, &string->length);
    return string->text ? string : NULL;
  }
  if (c == '-' || (c >= '0' && c <= '9')) {
    Json *number = node(J_NUMBER);
    const char *start = p->at;
    int zero = 1, exponent = 0;
    if (*p->at == '-') {
      p->at++;
    }
    if (p->at >= p->end || *p->at < '0' || *p->at > '9') {
      return NULL;
    }
    while (p->at < p->end) {
      char d = *p->at;
      if (d >= '0' && d <= '9') {
        if (d != '0' && !exponent) {
          zero = 0;
        }
      } else if (d == 'e' || d == 'E') {
        exponent = 1;
      } else if (d != '.' && d != '+' && d != '-') {
        break;
      }
      p->at++;
    }
    number->text = copy_text(start, (size_t)(p->at - start));
    number->zero = zero;
    return number;
  }
  if (literal(p, "true")) {
    return node(J_TRUE);
  }
  if (literal(p, "false")) {
    return node(J_FALSE);
  }
  if (literal(p, "null")) {
    return node(J_NULL);
  }
  return NULL;
}

static Json *parse_json(const char *text, size_t length) {
  Parser p = {text, text + length};
  Json *value = parse_value(&p, 0);
  skip_space(&p);
  return value && p.at == p.end ? value : NULL;
}

/* The interpreter's truth value of a parsed value. */
static int truthy(const Json *value) {
  switch (value->type) {
    case J_NULL:
    case J_FALSE: return 0;
    case J_TRUE: return 1;
    case J_NUMBER: return !value->zero;
    default: return value->length != 0;
  }
}

/* The last member named `key`, as json.loads keeps it. */
static Json *member(const Json *object, const char *key) {
  for (size_t i = object->length; i-- > 0;) {
    if (strcmp(object->members[i].key, key) == 0) {
      return object->members[i].value;
    }
  }
  return NULL;
}

/* An object's members by name, for objects with thousands of them. */
typedef struct {
  Member **slots;
  size_t mask;
} Index;

static uint64_t hash_text(const char *text) {
  uint64_t hash = 1469598103934665603ull;
  for (; *text; text++) {
    hash = (hash ^ (unsigned char)*text) * 1099511628211ull;
  }
  return hash;
}

static Index index_members(const Json *object) {
  Index index;
  size_t size = 16;
  while (size < object->length * 2) {
    size *= 2;
  }
  index.mask = size - 1;
  index.slots = alloc(size * sizeof *index.slots);
  memset(index.slots, 0, size * sizeof *index.slots);
  for (size_t i = 0; i < object->length; i++) {
    Member *m = &object->members[i];
    size_t slot = hash_text(m->key) & index.mask;
    while (index.slots[slot] && strcmp(index.slots[slot]->key, m->key) != 0) {
      slot = (slot + 1) & index.mask;
    }
    index.slots[slot] = m; /* a later duplicate replaces the earlier */
  }
  return index;
}

static Json *lookup(const Index *index, const char *key) {
  size_t slot = hash_text(key) & index->mask;
  while (index->slots[slot]) {
    if (strcmp(index->slots[slot]->key, key) == 0) {
      return index->slots[slot]->value;
    }
    slot = (slot + 1) & index->mask;
  }
  return NULL;
}

/* ------------------------------------------------------------------ */
/* The release manifest and admission.                                 */

#define MANIFEST_LIMIT ((size_t)64 << 20)

typedef struct {
  Json *root, *skills, *defaults;
  Index by_name;
} Manifest;

static Manifest load_manifest(int root_fd, const char *root) {
  size_t length;
  char *text = read_file(root_fd, "manifest.json", MANIFEST_LIMIT, &length);
  if (!text) {
    fail("read", join(root, "manifest.json"), errno);
  }
  Manifest manifest = {0};
  manifest.root = parse_json(text, length);
  free(text);
  if (!manifest.root) {
    failf("Skill 发版清单 JSON 无效: %s/manifest.json", root);
  }
  if (manifest.root->type != J_OBJECT) {
    failf("Skill 发版清单根节点必须是对象");
  }
  manifest.skills = member(manifest.root, "skills");
  if (!manifest.skills || manifest.skills->type != J_OBJECT) {
    failf("Skill 发版清单必须包含 skills 对象");
  }
  manifest.defaults = member(manifest.root, "default");
  manifest.by_name = index_members(manifest.skills);
  return manifest;
}

/* The admission key of a profile and artifact; NULL: everything admitted. */
static const char *profile_key(const char *profile, const char *artifact) {
  if (strcmp(profile, "dev") == 0 || strcmp(profile, "internal") == 0) {
    return NULL;
  }
  static const char *const table[][3] = {
      {"python-release", "sdist", "source"},
      {"python-release", "wheel", "wheel"},
      {"binary-minimal", "binary", "binary"},
      {"binary-full", "binary", "binary_full"},
  };
  int known = 0;
  for (size_t i = 0; i < sizeof table / sizeof table[0]; i++) {
    if (strcmp(table[i][0], profile) == 0) {
      known = 1;
      if (strcmp(table[i][1], artifact) == 0) {
        return table[i][2];
      }
    }
  }
  if (!known) {
    failf("未知 Skill 构建 profile: %s", profile);
  }
  failf("profile '%s' 不支持产物类型 '%s'", profile, artifact);
}

static int allowed(const Manifest *manifest, const char *key, const char *name) {
  int fallback = 0;
  if (manifest->defaults && manifest->defaults->type == J_OBJECT) {
    Json *value = member(manifest->defaults, key);
    fallback = value && truthy(value);
  }
  Json *entry = lookup(&manifest->by_name, name);
  if (entry && entry->type == J_OBJECT) {
    Json *value = member(entry, key);
    if (value) {
      return truthy(value);
    }
  }
  return fallback;
}

/* The root directory, opened (links followed), or -1 when it does not
 * exist. */
static int open_root(const char *root) {
  int fd = open_dir(AT_FDCWD, root, 1);
  if (fd < 0 && errno != ENOENT) {
    fail("open", root, errno);
  }
  return fd;
}

/* list_template_dirs on an open root: the sorted names of its directories. */
static Vec template_names(int fd, const char *root) {
  Vec names = {0};
  if (fd < 0) {
    return names;
  }
  Entries entries = {0};
  int error = read_entries(fd, &entries);
  if (error) {
    fail("list", root, error);
  }
  for (size_t i = 0; i < entries.count; i++) {
    if (entry_is_dir(fd, &entries.items[i])) {
      push(&names, (void *)entries.items[i].name);
    }
  }
  free(entries.items);
  sort_names(&names);
  return names;
}

static Manifest manifest_of(int fd, const char *root) {
  if (fd < 0) {
    failf("未找到 Skill 发版清单: %s/manifest.json", root);
  }
  return load_manifest(fd, root);
}

/* selected_skill_names on an open root. */
static Vec select_names(int fd, const char *root, const char *profile, const char *artifact) {
  const char *key = profile_key(profile, artifact);
  Manifest manifest = {0};
  if (key) {
    manifest = manifest_of(fd, root);
  }
  Vec names = template_names(fd, root);
  if (!key) {
    return names;
  }
  Vec admitted = {0};
  for (size_t i = 0; i < names.count; i++) {
    if (allowed(&manifest, key, names.items[i])) {
      push(&admitted, names.items[i]);
    }
  }
  free(names.items);
  return admitted;
}

/* ------------------------------------------------------------------ */
/* The operations.                                                     */

static void op_list(char **args) {
  int fd = open_root(args[0]);
  Vec names = template_names(fd, args[0]);
  if (fd >= 0) {
    close(fd);
  }
  for (size_t i = 0; i < names.count; i++) {
    result(join(args[0], names.items[i]));
  }
}

static void op_select(char **args) {
  int fd = open_root(args[0]);
  Vec names = select_names(fd, args[0], args[1], args[2]);
  if (fd >= 0) {
    close(fd);
  }
  for (size_t i = 0; i < names.count; i++) {
    result(names.items[i]);
  }
}

/* A file that is never packable by its name alone (a file named
 * "__pycache__" is a component of its own path). */
static int is_junk_name(const char *name) {
  if (strcmp(name, ".DS_Store") == 0 || strcmp(name, "__pycache__") == 0) {
    return 1;
  }
  const char *dot = strrchr(name, '.');
  /* The suffix as pathlib sees it: not a leading dot, not a trailing one. */
  if (!dot || dot == name || dot[1] == '\0') {
    return 0;
  }
  return strcmp(dot, ".pyc") == 0 || strcmp(dot, ".pyo") == 0;
}


/* A walk below an open directory, as the recursive glob makes it: every
 * directory is listed (a "__pycache__" too), links to directories are not
 * entered, an unreadable directory is passed over.  `visit` sees every
 * entry that is not a real directory, and every "__pycache__", with its
 * path relative to where the walk began and whether it lies in a
 * "__pycache__". */
typedef struct Walk Walk;
struct Walk {
  void (*visit)(Walk *walk, int dir, Entry *entry, const char *path, int in_cache);
  Vec found;
};

static void walk_tree(int fd, const char *prefix, int in_cache, Walk *walk) {
  Entries entries = {0};
  if (read_entries(fd, &entries) != 0) {
    free(entries.items);
    return;
  }
  for (size_t i = 0; i < entries.count; i++) {
    Entry *entry = &entries.items[i];
    const char *path = prefix ? join(prefix, entry->name) : entry->name;
    int cache = strcmp(entry->name, "__pycache__") == 0;
    if (!entry_is_real_dir(fd, entry)) {
      walk->visit(walk, fd, entry, path, in_cache);
      continue;
    }
    if (cache) {
      walk->visit(walk, fd, entry, path, in_cache);
    }
    int child = open_dir(fd, entry->name, 0);
    if (child >= 0) {
      walk_tree(child, path, in_cache || cache, walk);
      close(child);
    }
  }
  free(entries.items);
}

/* Collection: the packable files. */
static void keep_packable(Walk *walk, int dir, Entry *entry, const char *path, int in_cache) {
  if (entry->type != DT_DIR && !in_cache && !is_junk_name(entry->name) && entry_is_file(dir, entry)) {
    push(&walk->found, (void *)path);
  }
}

/* Junk removal, first walk: every entry named "__pycache__". */
static void keep_caches(Walk *walk, int dir, Entry *entry, const char *path, int in_cache) {
  (void)dir;
  (void)in_cache;
  if (strcmp(entry->name, "__pycache__") == 0) {
    push(&walk->found, (void *)path);
  }
}

/* Junk removal, second walk: every regular file that is junk goes. */
static void unlink_junk(Walk *walk, int dir, Entry *entry, const char *path, int in_cache) {
  (void)walk;
  if (entry->type != DT_DIR && (in_cache || is_junk_name(entry->name)) && entry_is_file(dir, entry) &&
      unlinkat(dir, entry->name, 0) != 0) {
    fail("unlink", path, errno);
  }
}

static void op_collect(char **args) {
  const char *root = args[0];
  const char *profile = args[1][0] ? args[1] : "binary-minimal";
  int root_fd = open_root(root);
  Vec names = select_names(root_fd, root, profile, "binary");
  const char *base = "tarvek/skills/templates";
  size_t base_length = strlen(base);
  for (size_t i = 0; i < names.count; i++) {
    const char *name = names.items[i];
    int fd = open_dir(root_fd, name, 1);
    if (fd < 0) {
      continue;
    }
    Walk walk = {keep_packable, {0}};
    walk_tree(fd, NULL, strcmp(name, "__pycache__") == 0, &walk);
    close(fd);
    Vec files = walk.found;
    sort_with(&files, compare_paths);
    for (size_t j = 0; j < files.count; j++) {
      const char *relative = files.items[j];
      result(join(join(root, name), relative));
      const char *slash = strrchr(relative, '/');
      size_t name_length = strlen(name), parent = slash ? (size_t)(slash - relative) : 0;
      char *destination = alloc(base_length + name_length + parent + 3);
      memcpy(destination, base, base_length);
      destination[base_length] = '/';
      memcpy(destination + base_length + 1, name, name_length);
      size_t used = base_length + 1 + name_length;
      if (parent) {
        destination[used++] = '/';
        memcpy(destination + used, relative, parent);
        used += parent;
      }
      destination[used] = '\0';
      result(destination);
    }
    free(files.items);
  }
  if (root_fd >= 0 && exists_at(root_fd, "manifest.json")) {
    result(join(root, "manifest.json"));
    result(base);
  }
  if (root_fd >= 0) {
    close(root_fd);
  }
}

/* The interpreter's str.strip() found nothing but white space (ASCII). */
static int blank(const Json *value) {
  if (!value) {
    return 1;
  }
  if (value->type != J_STRING) {
    return 0; /* str() of anything else is never blank */
  }
  for (size_t i = 0; i < value->length; i++) {
    unsigned char c = (unsigned char)value->text[i];
    if (!(c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1c && c <= 0x1f))) {
      return 0;
    }
  }
  return 1;
}

static char *concat(const char *a, const char *b) {
  size_t la = strlen(a), lb = strlen(b);
  char *text = alloc(la + lb + 1);
  memcpy(text, a, la);
  memcpy(text + la, b, lb + 1);
  return text;
}

static void op_validate(char **args) {
  const char *root = args[0];
  int root_fd = open_root(root);
  Manifest manifest = manifest_of(root_fd, root);
  Vec actual = template_names(root_fd, root);
  /* The declared names, each once, in order. */
  Vec declared = {0};
  for (size_t i = 0; i < manifest.skills->length; i++) {
    const char *key = manifest.skills->members[i].key;
    if (lookup(&manifest.by_name, key) == manifest.skills->members[i].value) {
      push(&declared, (void *)key);
    }
  }
  sort_names(&declared);
  size_t a = 0, d = 0;
  Vec both = {0};
  while (a < actual.count || d < declared.count) {
    int order = a == actual.count ? 1 : d == declared.count ? -1
                : strcmp(actual.items[a], declared.items[d]);
    if (order < 0) {
      result(concat("模板目录未在 manifest 声明: ", actual.items[a++]));
    } else if (order > 0) {
      d++;
    } else {
      push(&both, actual.items[a]);
      a++;
      d++;
    }
  }
  a = d = 0;
  while (a < actual.count || d < declared.count) {
    int order = a == actual.count ? 1 : d == declared.count ? -1
                : strcmp(actual.items[a], declared.items[d]);
    if (order > 0) {
      result(concat("manifest 声明了不存在的模板目录: ", declared.items[d++]));
    } else if (order < 0) {
      a++;
    } else {
      a++;
      d++;
    }
  }
  static const char *const flags[] = {"source", "wheel", "binary", "binary_full"};
  for (size_t i = 0; i < both.count; i++) {
    const char *name = both.items[i];
    Json *entry = lookup(&manifest.by_name, name);
    if (entry->type != J_OBJECT) {
      result(concat(name, ": manifest 条目必须是对象"));
      continue;
    }
    if (blank(member(entry, "reason"))) {
      result(concat(name, ": reason 不能为空"));
    }
    if (blank(member(entry, "tier"))) {
      result(concat(name, ": tier 不能为空"));
    }
    int admitted = 0;
    for (size_t f = 0; f < 4 && !admitted; f++) {
      Json *value = member(entry, flags[f]);
      admitted = value && truthy(value);
    }
    if (!admitted) {
      continue;
    }
    if (!exists_at(root_fd, join(name, "SKILL.md"))) {
      result(concat(name, ": 发版准入 Skill 必须包含 SKILL.md"));
    }
    if (!exists_at(root_fd, join(name, "data/VERSION.json"))) {
      result(concat(name, ": 发版准入 Skill 必须包含 data/VERSION.json"));
    }
  }
  close(root_fd);
}

static void remove_tree(int parent, const char *name, const char *path);

/* Empties the open directory `fd`, closes it and removes it from `parent`. */
static void remove_open_tree(int fd, int parent, const char *name, const char *path) {
  Entries entries = {0};
  int error = read_entries(fd, &entries);
  if (error) {
    fail("list", path, error);
  }
  for (size_t i = 0; i < entries.count; i++) {
    Entry *entry = &entries.items[i];
    if (entry_is_real_dir(fd, entry)) {
      remove_tree(fd, entry->name, join(path, entry->name));
    } else if (unlinkat(fd, entry->name, 0) != 0) {
      fail("unlink", join(path, entry->name), errno);
    }
  }
  free(entries.items);
  close(fd);
  if (unlinkat(parent, name, AT_REMOVEDIR) != 0) {
    fail("rmdir", path, errno);
  }
}

/* Deletes the directory `name` of the open directory `parent`, and all
 * below it; a link is removed, never followed. */
static void remove_tree(int parent, const char *name, const char *path) {
  int fd = open_dir(parent, name, 0);
  if (fd < 0) {
    if (errno == ELOOP || errno == ENOTDIR) {
      if (unlinkat(parent, name, 0) != 0) {
        fail("unlink", path, errno);
      }
      return;
    }
    fail("open", path, errno);
  }
  remove_open_tree(fd, parent, name, path);
}

/* A "__pycache__" found by the first walk, deleted if it is a directory
 * now (a link to one is removed as a link); the open answers what a status
 * query would. */
static void remove_cache(int parent, const char *name, const char *path) {
  int fd = open_dir(parent, name, 0);
  if (fd < 0) {
    struct stat status;
    if (errno == ELOOP && fstatat(parent, name, &status, 0) == 0 && S_ISDIR(status.st_mode) &&
        unlinkat(parent, name, 0) != 0) {
      fail("unlink", path, errno);
    }
    return; /* gone, or not a directory */
  }
  remove_open_tree(fd, parent, name, path);
}



static void op_prune(char **args) {
  const char *target = args[0], *profile = args[1], *artifact = args[2], *manifest_root = args[3];
  int fd = open_dir(AT_FDCWD, target, 1);
  if (fd < 0) {
    if (errno == ENOENT) {
      return;
    }
    fail("open", target, errno);
  }
  /* Junk: every "__pycache__" found first, then deleted; then the files. */
  Walk first = {keep_caches, {0}};
  walk_tree(fd, NULL, 0, &first);
  Vec caches = first.found;
  for (size_t i = 0; i < caches.count; i++) {
    const char *relative = caches.items[i];
    const char *slash = strrchr(relative, '/');
    int parent = fd;
    if (slash) {
      parent = open_below(fd, copy_text(relative, (size_t)(slash - relative)));
      if (parent < 0) {
        continue; /* gone with an earlier one */
      }
    }
    const char *name = slash ? slash + 1 : relative;
    remove_cache(parent, name, join(target, relative));
    if (parent != fd) {
      close(parent);
    }
  }
  if (lseek(fd, 0, SEEK_SET) < 0) {
    fail("rewind", target, errno);
  }
  Walk second = {unlink_junk, {0}};
  walk_tree(fd, NULL, 0, &second);

  if (strcmp(profile, "dev") == 0 || strcmp(profile, "internal") == 0) {
    if (lseek(fd, 0, SEEK_SET) < 0) {
      fail("rewind", target, errno);
    }
    Vec names = template_names(fd, target);
    for (size_t i = 0; i < names.count; i++) {
      result(names.items[i]);
    }
    close(fd);
    return;
  }
  int manifest_fd = open_root(manifest_root);
  Vec admitted = select_names(manifest_fd, manifest_root, profile, artifact);
  if (manifest_fd >= 0) {
    close(manifest_fd);
  }
  Index keep;
  {
    /* The admitted names as a set: an object's index over them. */
    Json set = {.type = J_OBJECT, .length = admitted.count};
    set.members = alloc(admitted.count * sizeof *set.members + 1);
    for (size_t i = 0; i < admitted.count; i++) {
      set.members[i] = (Member){admitted.items[i], NULL};
    }
    keep = index_members(&set);
  }
  if (lseek(fd, 0, SEEK_SET) < 0) {
    fail("rewind", target, errno);
  }
  Entries entries = {0};
  int error = read_entries(fd, &entries);
  if (error) {
    fail("list", target, error);
  }
  /* Present: the entries of the target that exist (a dangling link does
   * not), so the admitted names that remain need no query of their own. */
  Json present_set = {.type = J_OBJECT};
  present_set.members = alloc(entries.count * sizeof *present_set.members + 1);
  for (size_t i = 0; i < entries.count; i++) {
    Entry *entry = &entries.items[i];
    int is_dir = entry_is_dir(fd, entry);
    size_t slot = hash_text(entry->name) & keep.mask;
    int kept = 0;
    while (keep.slots[slot]) {
      if (strcmp(keep.slots[slot]->key, entry->name) == 0) {
        kept = 1;
        break;
      }
      slot = (slot + 1) & keep.mask;
    }
    if (is_dir && !kept) {
      remove_tree(fd, entry->name, join(target, entry->name));
      continue;
    }
    if (kept && (entry->type != DT_LNK || exists_at(fd, entry->name))) {
      present_set.members[present_set.length++] = (Member){entry->name, NULL};
    }
  }
  Index present = index_members(&present_set);
  Vec remaining = {0};
  for (size_t i = 0; i < admitted.count; i++) {
    size_t slot = hash_text(admitted.items[i]) & present.mask;
    while (present.slots[slot]) {
      if (strcmp(present.slots[slot]->key, admitted.items[i]) == 0) {
        push(&remaining, admitted.items[i]);
        break;
      }
      slot = (slot + 1) & present.mask;
    }
  }
  sort_names(&remaining);
  for (size_t i = 0; i < remaining.count; i++) {
    result(remaining.items[i]);
  }
  free(entries.items);
  close(fd);
}

static const char *infer_runtime(const char *path) {
  /* The markers in order; the first that is a whole segment (lower-cased) wins. */
  static const char *const markers[][2] = {
      {".openclaw", "openclaw"}, {".codex", "codex"},       {"opencode", "opencode"},
      {".workbuddy", "workbuddy"}, {".trae-cn", "trae-cn"},
  };
  int found[5] = {0};
  const char *at = path;
  while (*at) {
    const char *end = strchr(at, '/');
    size_t length = end ? (size_t)(end - at) : strlen(at);
    for (int m = 0; m < 5; m++) {
      if (strlen(markers[m][0]) == length && strncasecmp(markers[m][0], at, length) == 0) {
        found[m] = 1;
      }
    }
    at += length;
    if (*at == '/') {
      at++;
    }
  }
  for (int m = 0; m < 5; m++) {
    if (found[m]) {
      return markers[m][1];
    }
  }
  return "claude";
}

static void op_discover(char **args) {
  const char *home = args[0], *cwd = args[1];
  const char *candidates[] = {
      join(cwd, ".claude/skills"),           join(home, ".claude/skills"),
      join(home, ".openclaw/skills"),        join(home, ".codex/skills"),
      join(home, ".config/opencode/skills"), join(home, ".workbuddy/skills"),
      join(home, ".trae-cn/skills"),
  };
  dev_t devs[7];
  ino_t inos[7];
  size_t seen = 0;
  for (size_t c = 0; c < 7; c++) {
    const char *candidate = candidates[c];
    int fd = open_dir(AT_FDCWD, candidate, 1);
    if (fd < 0) {
      if (errno == ENOENT) {
        continue;
      }
      fail("list", candidate, errno);
    }
    struct stat status;
    if (fstat(fd, &status) != 0) {
      fail("stat", candidate, errno);
    }
    int duplicate = 0;
    for (size_t s = 0; s < seen; s++) {
      duplicate |= devs[s] == status.st_dev && inos[s] == status.st_ino;
    }
    if (duplicate) {
      close(fd);
      continue;
    }
    devs[seen] = status.st_dev;
    inos[seen++] = status.st_ino;

    Entries entries = {0};
    int error = read_entries(fd, &entries);
    if (error) {
      fail("list", candidate, error);
    }
    Vec names = {0};
    for (size_t i = 0; i < entries.count; i++) {
      if (entry_is_dir(fd, &entries.items[i])) {
        push(&names, (void *)entries.items[i].name);
      }
    }
    sort_names(&names);
    for (size_t i = 0; i < names.count; i++) {
      const char *name = names.items[i];
      const char *version_path = join(name, "data/VERSION.json");
      const char *version;
      size_t length;
      char *text = read_file(fd, version_path, (size_t)1 << 20, &length);
      if (text) {
        Json *parsed = parse_json(text, length);
        free(text);
        if (!parsed || parsed->type != J_OBJECT) {
          continue; /* broken: skipped */
        }
        Json *value = member(parsed, "version");
        if (!value) {
          version = "unknown";
        } else if (value->type == J_STRING || value->type == J_NUMBER) {
          version = value->type == J_NUMBER && strcmp(value->text, "-0") == 0 ? "0" : value->text;
        } else if (value->type == J_NULL) {
          version = "None";
        } else if (value->type == J_TRUE || value->type == J_FALSE) {
          version = value->type == J_TRUE ? "True" : "False";
        } else {
          continue; /* an array or object: not written here */
        }
      } else if (errno == ENOENT || errno == ENOTDIR) {
        if (!exists_at(fd, join(name, "data"))) {
          continue;
        }
        version = "v0.0.0";
      } else {
        continue; /* unreadable, not a regular file, too large: skipped */
      }
      const char *root = join(candidate, name);
      result(name);
      result(version);
      result(infer_runtime(root));
      result(root);
      result(join(root, "data/VERSION.json"));
    }
    free(entries.items);
    free(names.items);
    close(fd);
  }
}

static void op_noop(char **args) { (void)args; }

/* ------------------------------------------------------------------ */

static double seconds(struct timeval tv) { return (double)tv.tv_sec + tv.tv_usec / 1e6; }

/* The peak resident set of this program's own memory (VmHWM): the
 * rusage figure also counts the parent's memory when the parent started
 * this program by vfork. */
static long peak_rss_kb(void) {
  FILE *status = fopen("/proc/self/status", "re");
  long peak = -1;
  if (status) {
    char line[256];
    while (fgets(line, sizeof line, status)) {
      if (sscanf(line, "VmHWM: %ld", &peak) == 1) {
        break;
      }
    }
    fclose(status);
  }
  return peak;
}

int main(int argc, char **argv) {
  static const struct {
    const char *name;
    int args;
    void (*run)(char **);
  } ops[] = {
      {"list", 1, op_list},         {"select", 3, op_select}, {"collect", 2, op_collect},
      {"validate", 1, op_validate}, {"prune", 4, op_prune},   {"discover", 2, op_discover},
      {"noop", 0, op_noop},
  };
  const char *out = NULL;
  int at = 1;
  if (at + 1 < argc && strcmp(argv[at], "--out") == 0) {
    out = argv[at + 1];
    at += 2;
  }
  if (at >= argc) {
    failf("usage: floor [--out FILE] OPERATION ARGS...");
  }
  for (size_t i = 0; i < sizeof ops / sizeof ops[0]; i++) {
    if (strcmp(ops[i].name, argv[at]) != 0) {
      continue;
    }
    if (argc - at - 1 != ops[i].args) {
      failf("%s takes %d arguments", ops[i].name, ops[i].args);
    }
    struct rusage before, after;
    struct timespec start, end;
    getrusage(RUSAGE_SELF, &before);
    clock_gettime(CLOCK_MONOTONIC, &start);
    ops[i].run(argv + at + 1);
    clock_gettime(CLOCK_MONOTONIC, &end);
    getrusage(RUSAGE_SELF, &after);
    if (out) {
      FILE *file = fopen(out, "wb");
      if (!file) {
        fail("write", out, errno);
      }
      for (size_t r = 0; r < results.count; r++) {
        fputs(results.items[r], file);
        fputc('\0', file);
      }
      if (fclose(file) != 0) {
        fail("write", out, errno);
      }
    }
    printf("{\"seconds\": %.9f, \"user\": %.6f, \"system\": %.6f, \"items\": %zu, \"maxrss_kb\": %ld}\n",
           (double)(end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9,
           seconds(after.ru_utime) - seconds(before.ru_utime),
           seconds(after.ru_stime) - seconds(before.ru_stime), results.count, peak_rss_kb());
    return 0;
  }
  failf("unknown operation %s", argv[at]);
}
