/*
 * The API catalog: every API of the server with its inputs and outputs, as
 * a constant array of fixed-size records generated at build time from the
 * readable source reqview/api_catalog.txt.
 *
 * Each API is one header record followed by its parameter records (inputs
 * in ascending order of name, then outputs in ascending order of name);
 * headers stand in ascending order of the API name; one record that is zero
 * throughout ends the array. The functions below walk any array laid out
 * this way; none of them allocates.
 */
#ifndef REQVIEW_API_CATALOG_H
#define REQVIEW_API_CATALOG_H

#include <stddef.h>
#include <stdint.h>
#include "vovedi/common.h"

VV_BEGIN_DECL

enum { API_CATALOG_NAME_SIZE = 64, API_CATALOG_TYPE_SIZE = 64 };

/* One 140-byte record, little-endian on the hosts we build for. */
typedef struct api_catalog_rec {
    char name[API_CATALOG_NAME_SIZE]; /* API name, parameter name, or empty in the terminator */
    char type[API_CATALOG_TYPE_SIZE]; /* parameter type; empty in headers */
    int32_t role;                     /* API_ROLE_*; any other value is a required input */
    int32_t attribute;                /* API_ATTR_*; 0 in headers and the terminator */
    int32_t reserved;                 /* 0 */
} api_catalog_rec;

/* Roles. Required inputs carry 0, 6 (integer), 7 (boolean), 9 or 11. */
enum {
    API_ROLE_HEADER = -1,
    API_ROLE_OUTPUT = 1,
    API_ROLE_OPTIONAL = 3,
    API_ROLE_REQUIRED = 0,
    API_ROLE_REQUIRED_INTEGER = 6,
    API_ROLE_REQUIRED_BOOLEAN = 7,
    API_ROLE_REQUIRED_STRUCTURE = 9,
    API_ROLE_REQUIRED_ARRAY = 11
};

/* Attributes of parameter records. */
enum { API_ATTR_PLAIN = 4, API_ATTR_PASSWORD = 5 };

/* What a parameter record is. */
typedef enum { API_PARAM_REQUIRED, API_PARAM_OPTIONAL, API_PARAM_OUTPUT } api_param_kind;

/* The catalog shipped with the kit. */
extern const api_catalog_rec api_catalog[];

/* The first API header of a catalog, or null when it holds none (or catalog is null). */
const api_catalog_rec *api_catalog_first(const api_catalog_rec *catalog);

/* The API header after api, or null after the last one (or for a null api). */
const api_catalog_rec *api_catalog_next(const api_catalog_rec *api);

/* Number of APIs in a catalog; 0 for null. */
size_t api_catalog_count(const api_catalog_rec *catalog);

/*
 * The header of the API called name, given as its display name
 * ("volume-create") or its catalog name ("rova_volume_create"); null when
 * there is none or an argument is null. Compared byte for byte.
 */
const api_catalog_rec *api_catalog_find(const api_catalog_rec *catalog, const char *name);

/*
 * The parameter records of an API: the first one (or null when it has none)
 * and their number in *count (inputs first, then outputs). Null with
 * *count 0 for a null api; count may be null.
 */
const api_catalog_rec *api_catalog_params(const api_catalog_rec *api, size_t *count);

/* Inputs (required and optional) and outputs of an API; 0 for null. */
size_t api_catalog_input_count(const api_catalog_rec *api);
size_t api_catalog_output_count(const api_catalog_rec *api);

/* Whether a parameter record is a required input, an optional input or an output. */
api_param_kind api_catalog_param_kind(const api_catalog_rec *param);

/*
 * The display name of a catalog name into buffer (size bytes, always
 * terminated when size > 0): every "_" becomes "-", then a leading "rova-"
 * is dropped, so "rova_system_get_version" gives "system-get-version".
 * Returns the length of the whole display name, as snprintf does; a result
 * of size or more means the buffer was too small and the text was cut.
 * A null name gives 0 and an empty buffer.
 */
size_t api_catalog_display_name(const char *name, char *buffer, size_t size);

/*
 * The display name of a record's name, read within its 64-byte field;
 * as api_catalog_display_name otherwise.
 */
size_t api_catalog_record_display_name(const api_catalog_rec *record, char *buffer, size_t size);

VV_END_DECL

#endif
