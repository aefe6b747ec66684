#include "runtime/myutil/MyUtils.h"

#include <stdlib.h>
#include <string.h>

FILE* my_fopen(const char* filename, const char* mode) { return fopen(filename, mode); }
size_t my_fread(void* ptr, size_t size, size_t count, FILE* stream) { return fread(ptr, size, count, stream); }
size_t my_fwrite(const void* ptr, size_t size, size_t count, FILE* stream) { return fwrite(ptr, size, count, stream); }
int my_fseek(FILE* stream, long offset, int whence) { return fseek(stream, offset, whence); }
long my_ftell(FILE* stream) { return ftell(stream); }
int my_fclose(FILE* stream) { return fclose(stream); }

int my_fprintf(FILE* stream, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = vfprintf(stream, format, args);
  va_end(args);
  return n;
}

int my_snprintf(char* str, size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = vsnprintf(str, size, format, args);
  va_end(args);
  return n;
}

int my_vsprintf(char* str, const char* format, va_list args) { return vsprintf(str, format, args); }
double my_strtod(const char* str, char** end) { return strtod(str, end); }
long my_strtol(const char* str, char** end, int base) { return strtol(str, end, base); }
char* my_strtok(char* str, const char* delimiters) { return strtok(str, delimiters); }
