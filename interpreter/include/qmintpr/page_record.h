/* The compiled-page record format: the contract between the template compiler, the executor
 * and anything else that reads or writes files in the page cache.
 *
 * A compiled page is a flat stream of records with no padding between them:
 *   code   1 byte   record kind, one ASCII character (QM_REC_*)
 *   length 4 bytes  unsigned little-endian count of the data bytes that follow
 *   data   length bytes, no terminating zero
 * The first record is the header: QM_REC_HEADER with 8 bytes of marker text, "UNSEALED" while
 * the page is being built and "OVRELOP2" once it is complete. The executor refuses records
 * whose data is longer than QM_RECORD_MAX_DATA bytes, so the compiler never writes one. */
#ifndef QMINTPR_PAGE_RECORD_H
#define QMINTPR_PAGE_RECORD_H

#ifdef __cplusplus
extern "C" {
#endif

#define QM_RECORD_HEADER_SIZE 5 /* code + length */
#define QM_RECORD_MAX_DATA 12288

/* How deeply a compiled page may nest: IF/WHILE/SWITCH blocks inside each other, and
 * expressions inside each other (index expressions and call arguments). The compiler refuses
 * deeper templates with an error line, and the executor refuses deeper pages, so neither can
 * run out of stack whatever the template. */
#define QM_PAGE_MAX_BLOCK_DEPTH 256
#define QM_PAGE_MAX_EXPRESSION_DEPTH 64

#define QM_PAGE_MARK_SEALED "OVRELOP2"
#define QM_PAGE_MARK_UNSEALED "UNSEALED"
#define QM_PAGE_MARK_SIZE 8

enum QmRecordCode {
    QM_REC_HEADER = '#',    /* 8 bytes of marker text */
    QM_REC_END = '$',       /* ends an expression, an index list or an argument list */
    QM_REC_STRING = '0',    /* string literal, escapes resolved */
    QM_REC_INTEGER = '1',   /* 4 bytes, signed little-endian */
    QM_REC_VARIABLE = '2',  /* variable name with its sigil */
    QM_REC_IF = '3',
    QM_REC_ELSE = '4',
    QM_REC_ENDIF = '5',
    QM_REC_WHILE = '6',
    QM_REC_ENDWHILE = '7',
    QM_REC_SWITCH = '8',
    QM_REC_CASE = '9',
    QM_REC_DEFAULT = 'a',
    QM_REC_ENDSWITCH = 'b',
    QM_REC_TEXT = '@',      /* literal page text */
    QM_REC_LIBRARY = 'c',   /* call: tag library name, or "." for a built-in output statement */
    QM_REC_FUNCTION = 'd',  /* call: function name */
    QM_REC_OPERATOR = 'e',  /* 1 byte: ! & * + - / < = > | */
    QM_REC_SELECTOR = 'f'   /* 1 byte: 'V' value or 'T' type tag; ends a variable reference */
};

#ifdef __cplusplus
}
#endif

#endif /* QMINTPR_PAGE_RECORD_H */
