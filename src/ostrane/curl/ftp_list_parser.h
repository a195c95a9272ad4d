/* One line of an FTP LIST reply: EPLF, Unix ls (with the NetWare and Mac variants), VMS and
 * MS-DOS styles. Plain C interface: no allocation, no copying; name and id point into the
 * caller's line and stay valid only while its bytes do. The parser never reads at or past
 * `length` and needs no terminating zero. */
#ifndef OSTRANE_CURL_FTP_LIST_PARSER_H
#define OSTRANE_CURL_FTP_LIST_PARSER_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ftp_list_record {
    const char *name;         /* not terminated; null when nothing was found */
    int32_t name_length;
    int32_t may_be_directory; /* directories and symbolic links */
    int32_t may_be_file;      /* plain files and symbolic links */
    int32_t size_kind;        /* 0 unknown, 1 bytes of a binary transfer */
    int64_t size;
    int32_t time_kind;        /* 0 unknown, 1 exact, 2 server-local minute, 3 server-local day */
    int64_t mtime;            /* seconds since 1970-01-01 UTC; kinds 2 and 3 count local time as UTC */
    int32_t id_kind;          /* 0 unknown, 1 unique for files on this server */
    const char *id;
    int32_t id_length;
} ftp_list_record;

/* 1 when the line names an entry, else 0 (then the record means nothing). */
int parse_ftp_list_line(ftp_list_record *record, const char *line, int32_t length);

#ifdef __cplusplus
}

namespace Ostrane::ftplist {
/* The same parse with the clock fixed at `now` (seconds since 1970-01-01 UTC): ls dates without
 * a year are placed relative to it and to its calendar year. */
int parseAt(ftp_list_record *record, const char *line, int32_t length, int64_t now);
}  // namespace Ostrane::ftplist
#endif

#endif
