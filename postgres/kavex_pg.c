/* The SQL face of kavex: kavex_normalize, kavex_is_normalized and the text search
 * dictionary template kavex.
 *
 * Every byte this file allocates comes from the server's memory contexts, so an error at
 * any point (a bad form, invalid input, a cancel between pieces) frees it with the
 * context, and no PG_TRY is needed: the engine side (kavex_pieces.h) keeps nothing of a
 * call but its scratch, and is never on the stack when an error is raised. */
#include "postgres.h"

#include <string.h>

#include "commands/defrem.h"
#include "fmgr.h"
#include "lib/stringinfo.h"
#include "mb/pg_wchar.h"
#include "miscadmin.h"
#include "nodes/pg_list.h"
#include "tsearch/ts_public.h"
#include "utils/builtins.h"

#include "kavex_pieces.h"

PG_MODULE_MAGIC;

/* Where the shipped rules and a user's RULES folders lie, under the server's share folder. */
#ifndef KAVEX_PG_RULES_SUBDIR
#define KAVEX_PG_RULES_SUBDIR "kavex/rules"
#endif
#define KAVEX_PG_USER_RULES_SUBDIR "tsearch_data/kavex"

/* Bytes of text normalized between two checks for a cancel: large enough that the checks
 * cost nothing, small enough that a cancel is answered at once. */
#define KAVEX_PIECE_BYTES ((size_t) 256 * 1024)

PG_FUNCTION_INFO_V1(kavex_normalize);
PG_FUNCTION_INFO_V1(kavex_is_normalized);
PG_FUNCTION_INFO_V1(kavex_dict_init);
PG_FUNCTION_INFO_V1(kavex_dict_lexize);

static void
report(const KavexError *error, size_t offset)
{
	int			code;

	switch (error->status)
	{
		case KAVEX_UNKNOWN_FORM:
		case KAVEX_UNKNOWN_PROFILE:
			code = ERRCODE_INVALID_PARAMETER_VALUE;
			break;
		case KAVEX_RULES_FOLDER:
		case KAVEX_RULES_MISSING_KEY:
		case KAVEX_RULES_FILE:
			code = ERRCODE_CONFIG_FILE_ERROR;
			break;
		case KAVEX_INVALID_UTF8:
			code = ERRCODE_CHARACTER_NOT_IN_REPERTOIRE;
			break;
		case KAVEX_UNENCODABLE:
			code = ERRCODE_UNTRANSLATABLE_CHARACTER;
			break;
		case KAVEX_OUT_OF_MEMORY:
			code = ERRCODE_OUT_OF_MEMORY;
			break;
		default:
			code = ERRCODE_INTERNAL_ERROR;
			break;
	}
	if (error->status == KAVEX_INVALID_UTF8)
		ereport(ERROR,
				(errcode(code),
				 errmsg("%s", error->message),
				 errdetail("At byte %zu of the text: %s.", offset + error->offset,
						   error->detail),
				 errhint("%s", error->hint)));
	ereport(ERROR,
			(errcode(code),
			 errmsg("%s", error->message),
			 error->detail[0] ? errdetail("%s", error->detail) : 0,
			 error->hint[0] ? errhint("%s", error->hint) : 0));
}

static void
require_utf8(void)
{
	if (GetDatabaseEncoding() != PG_UTF8)
		ereport(ERROR,
				(errcode(ERRCODE_FEATURE_NOT_SUPPORTED),
				 errmsg("kavex needs a database encoded in UTF8, and this one is %s",
						GetDatabaseEncodingName()),
				 errhint("Create the database with ENCODING 'UTF8' (from TEMPLATE template0) "
						 "and use kavex there.")));
}

static const char *
shipped_rules(void)
{
	static char folder[MAXPGPATH];

	if (folder[0] == '\0')
	{
		char		share[MAXPGPATH];

		get_share_path(my_exec_path, share);
		snprintf(folder, sizeof folder, "%s/%s", share, KAVEX_PG_RULES_SUBDIR);
	}
	return folder;
}

static const KavexRules *
find_rules(const char *folder, const char *form, const char *profile)
{
	KavexError	error;
	const KavexRules *rules;

	require_utf8();
	rules = kavex_rules_find(folder, form, profile, &error);
	if (rules == NULL)
		report(&error, 0);
	return rules;
}

/* The rules of the form and profile a call names, kept with the call site so that a
 * query over many rows looks them up once. */
typedef struct CallRules
{
	char	   *form;
	char	   *profile;
	const KavexRules *rules;
} CallRules;

static const KavexRules *
rules_of_call(FunctionCallInfo fcinfo)
{
	CallRules  *cached = (CallRules *) fcinfo->flinfo->fn_extra;
	char	   *form = PG_NARGS() > 1 ? text_to_cstring(PG_GETARG_TEXT_PP(1)) : pstrdup("NFC");
	char	   *profile = PG_NARGS() > 2 && !PG_ARGISNULL(2) ?
		text_to_cstring(PG_GETARG_TEXT_PP(2)) : NULL;

	if (cached != NULL && strcmp(cached->form, form) == 0 &&
		(cached->profile == NULL ? profile == NULL :
		 profile != NULL && strcmp(cached->profile, profile) == 0))
		return cached->rules;
	{
		const KavexRules *rules = find_rules(shipped_rules(), form, profile);
		MemoryContext context = fcinfo->flinfo->fn_mcxt;

		if (cached == NULL)
			cached = MemoryContextAllocZero(context, sizeof(CallRules));
		else
		{
			pfree(cached->form);
			if (cached->profile)
				pfree(cached->profile);
		}
		cached->form = MemoryContextStrdup(context, form);
		cached->profile = profile ? MemoryContextStrdup(context, profile) : NULL;
		cached->rules = rules;
		fcinfo->flinfo->fn_extra = cached;
		return rules;
	}
}

/* Normalizes [data, data + size) a piece at a time. With `compare`, stops at the first
 * piece that changes and returns NULL; otherwise returns the result as a text value (for a
 * text left as it is, with `compare`, an empty one). */
static text *
normalize_text(const KavexRules *rules, const char *data, size_t size, bool compare,
			   bool *changed)
{
	StringInfoData out;
	size_t		done = 0;

	*changed = false;
	initStringInfo(&out);
	if (!compare)
		enlargeStringInfo(&out, VARHDRSZ + (int) Min(size, (size_t) MaxAllocSize / 2));
	out.len = VARHDRSZ;
	while (done < size)
	{
		size_t		end = kavex_piece_end(rules, data + done, size - done, KAVEX_PIECE_BYTES);
		const char *result;
		size_t		result_size;
		KavexError	error;

		if (kavex_normalize_piece(rules, data + done, end, &result, &result_size, &error)
			!= KAVEX_OK)
		{
			kavex_trim_scratch();
			report(&error, done);
		}
		if (compare)
		{
			if (result_size != end || memcmp(result, data + done, end) != 0)
			{
				*changed = true;
				kavex_trim_scratch();
				return NULL;
			}
		}
		else
		{
			if (result_size > (size_t) (MaxAllocSize - 1 - out.len))
				ereport(ERROR,
						(errcode(ERRCODE_PROGRAM_LIMIT_EXCEEDED),
						 errmsg("the normalized text is longer than a text value can be"),
						 errdetail("It passes %zu bytes.", (size_t) MaxAllocSize - VARHDRSZ)));
			appendBinaryStringInfo(&out, result, (int) result_size);
		}
		done += end;
		CHECK_FOR_INTERRUPTS();
	}
	kavex_trim_scratch();
	SET_VARSIZE(out.data, out.len);
	return (text *) out.data;
}

/* kavex_normalize(text, form text DEFAULT 'NFC', profile text DEFAULT NULL): not STRICT,
 * so that the default NULL profile means none; a NULL text or form gives NULL. */
Datum
kavex_normalize(PG_FUNCTION_ARGS)
{
	const KavexRules *rules;
	text	   *input;
	bool		changed;

	if (PG_ARGISNULL(0) || (PG_NARGS() > 1 && PG_ARGISNULL(1)))
		PG_RETURN_NULL();
	rules = rules_of_call(fcinfo);
	input = PG_GETARG_TEXT_PP(0);
	PG_RETURN_TEXT_P(normalize_text(rules, VARDATA_ANY(input), VARSIZE_ANY_EXHDR(input),
									false, &changed));
}

Datum
kavex_is_normalized(PG_FUNCTION_ARGS)
{
	const KavexRules *rules;
	text	   *input;
	bool		changed;

	if (PG_ARGISNULL(0) || (PG_NARGS() > 1 && PG_ARGISNULL(1)))
		PG_RETURN_NULL();
	rules = rules_of_call(fcinfo);
	input = PG_GETARG_TEXT_PP(0);
	normalize_text(rules, VARDATA_ANY(input), VARSIZE_ANY_EXHDR(input), true, &changed);
	PG_RETURN_BOOL(!changed);
}

typedef struct KavexDictionary
{
	const KavexRules *rules;
} KavexDictionary;

/* A RULES name is one folder under tsearch_data/kavex, never a path. */
static void
check_rules_name(const char *name)
{
	size_t		length = strlen(name);

	if (length == 0 || length > 64 ||
		strspn(name, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-") != length ||
		name[0] == '-')
		ereport(ERROR,
				(errcode(ERRCODE_INVALID_PARAMETER_VALUE),
				 errmsg("invalid kavex RULES name \"%s\"", name),
				 errhint("RULES names a folder in the server's %s, in letters, digits, "
						 "'_' and '-'.", KAVEX_PG_USER_RULES_SUBDIR)));
}

static char *
option_value(DefElem *option, char *seen)
{
	if (seen != NULL)
		ereport(ERROR,
				(errcode(ERRCODE_INVALID_PARAMETER_VALUE),
				 errmsg("kavex dictionary parameter \"%s\" is given twice", option->defname)));
	return defGetString(option);
}

Datum
kavex_dict_init(PG_FUNCTION_ARGS)
{
	List	   *options = (List *) PG_GETARG_POINTER(0);
	KavexDictionary *dictionary = palloc0(sizeof(KavexDictionary));
	char	   *form = NULL;
	char	   *profile = NULL;
	char	   *rules_name = NULL;
	const char *folder;
	ListCell   *cell;

	foreach(cell, options)
	{
		DefElem    *option = (DefElem *) lfirst(cell);

		if (pg_strcasecmp(option->defname, "form") == 0)
			form = option_value(option, form);
		else if (pg_strcasecmp(option->defname, "profile") == 0)
			profile = option_value(option, profile);
		else if (pg_strcasecmp(option->defname, "rules") == 0)
			rules_name = option_value(option, rules_name);
		else
			ereport(ERROR,
					(errcode(ERRCODE_INVALID_PARAMETER_VALUE),
					 errmsg("unrecognized kavex dictionary parameter: \"%s\"",
							option->defname),
					 errhint("The kavex template takes FORM, PROFILE and RULES.")));
	}
	if (rules_name != NULL)
	{
		char		share[MAXPGPATH];
		char	   *path = palloc(MAXPGPATH);

		check_rules_name(rules_name);
		get_share_path(my_exec_path, share);
		snprintf(path, MAXPGPATH, "%s/%s/%s", share, KAVEX_PG_USER_RULES_SUBDIR, rules_name);
		folder = path;
	}
	else
		folder = shipped_rules();
	dictionary->rules = find_rules(folder, form ? form : "NFC", profile);
	PG_RETURN_POINTER(dictionary);
}

/* A filtering dictionary: a token the rules change goes on to the next dictionary as its
 * normalized form; one they leave as it is goes on as it is (NULL); one they delete
 * entirely is dropped as a stop word would be. */
Datum
kavex_dict_lexize(PG_FUNCTION_ARGS)
{
	KavexDictionary *dictionary = (KavexDictionary *) PG_GETARG_POINTER(0);
	char	   *token = (char *) PG_GETARG_POINTER(1);
	int32		length = PG_GETARG_INT32(2);
	TSLexeme   *lexemes;
	text	   *normalized;
	bool		changed;

	normalized = normalize_text(dictionary->rules, token, (size_t) length, false, &changed);
	if (VARSIZE_ANY_EXHDR(normalized) == (size_t) length &&
		memcmp(VARDATA_ANY(normalized), token, length) == 0)
		PG_RETURN_POINTER(NULL);
	lexemes = palloc0(sizeof(TSLexeme) * 2);
	if (VARSIZE_ANY_EXHDR(normalized) > 0)
	{
		lexemes[0].lexeme = text_to_cstring(normalized);
		lexemes[0].flags = TSL_FILTER;
	}
	PG_RETURN_POINTER(lexemes);
}
