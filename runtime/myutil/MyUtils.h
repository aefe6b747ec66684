#pragma once
// The helper library "myutil" (libmyutil.so): standard C file and formatting
// functions under the "my_" names, loaded at run time like the media
// libraries. Each behaves exactly as the standard function whose name
// follows the prefix.
#include <stdarg.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

FILE* my_fopen(const char* filename, const char* mode);
size_t my_fread(void* ptr, size_t size, size_t count, FILE* stream);
size_t my_fwrite(const void* ptr, size_t size, size_t count, FILE* stream);
int my_fseek(FILE* stream, long offset, int whence);
long my_ftell(FILE* stream);
int my_fclose(FILE* stream);
int my_fprintf(FILE* stream, const char* format, ...) __attribute__((format(printf, 2, 3)));
int my_snprintf(char* str, size_t size, const char* format, ...) __attribute__((format(printf, 3, 4)));
int my_vsprintf(char* str, const char* format, va_list args);
double my_strtod(const char* str, char** end);
long my_strtol(const char* str, char** end, int base);
char* my_strtok(char* str, const char* delimiters);

#ifdef __cplusplus
}
#endif
