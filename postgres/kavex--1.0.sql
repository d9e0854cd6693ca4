-- kavex: normalization of Arabic-script text inside the database.

\echo Use "CREATE EXTENSION kavex" to load this file. \quit

-- The functions read and write UTF-8: a database in another encoding is refused here,
-- before anything is created.
DO $$
BEGIN
  IF pg_catalog.getdatabaseencoding() <> 'UTF8' THEN
    RAISE EXCEPTION 'kavex needs a database encoded in UTF8, and this one is %',
                    pg_catalog.getdatabaseencoding()
      USING ERRCODE = 'feature_not_supported',
            HINT = 'Create the database with ENCODING ''UTF8'' (from TEMPLATE template0) '
                   'and create the extension there.';
  END IF;
END
$$;

-- Not STRICT: the default profile is NULL, meaning none. A NULL text or form gives NULL.
CREATE FUNCTION kavex_normalize(text, form text DEFAULT 'NFC', profile text DEFAULT NULL)
RETURNS text
AS 'MODULE_PATHNAME', 'kavex_normalize'
LANGUAGE C IMMUTABLE PARALLEL SAFE;

CREATE FUNCTION kavex_is_normalized(text, form text DEFAULT 'NFC', profile text DEFAULT NULL)
RETURNS boolean
AS 'MODULE_PATHNAME', 'kavex_is_normalized'
LANGUAGE C IMMUTABLE PARALLEL SAFE;

COMMENT ON FUNCTION kavex_normalize(text, text, text) IS
  'the text in a form (NFC, NFD, NFKD, NFKC), through a language profile when one is named';
COMMENT ON FUNCTION kavex_is_normalized(text, text, text) IS
  'whether kavex_normalize leaves the text as it is';

CREATE FUNCTION kavex_dict_init(internal)
RETURNS internal
AS 'MODULE_PATHNAME', 'kavex_dict_init'
LANGUAGE C STRICT;

CREATE FUNCTION kavex_dict_lexize(internal, internal, internal, internal)
RETURNS internal
AS 'MODULE_PATHNAME', 'kavex_dict_lexize'
LANGUAGE C STRICT;

-- A filtering dictionary: each token goes on to the next dictionary normalized. Options:
-- FORM (NFC by default), PROFILE, and RULES, a folder of the server's
-- tsearch_data/kavex/ holding a config.ini and rules files of one's own.
CREATE TEXT SEARCH TEMPLATE kavex (
  INIT = kavex_dict_init,
  LEXIZE = kavex_dict_lexize
);

CREATE TEXT SEARCH DICTIONARY kavex_arabic_search (
  TEMPLATE = kavex, FORM = 'NFKD', PROFILE = 'arabic-search'
);
COMMENT ON TEXT SEARCH DICTIONARY kavex_arabic_search IS
  'Arabic folded for search: harakat, Quranic marks and tatweel removed, alef forms to alef';

CREATE TEXT SEARCH DICTIONARY kavex_urdu (
  TEMPLATE = kavex, FORM = 'NFKD', PROFILE = 'urdu'
);
COMMENT ON TEXT SEARCH DICTIONARY kavex_urdu IS 'Urdu orthography, compatibility forms unfolded';

CREATE TEXT SEARCH DICTIONARY kavex_persian (
  TEMPLATE = kavex, FORM = 'NFKD', PROFILE = 'persian'
);
COMMENT ON TEXT SEARCH DICTIONARY kavex_persian IS
  'Persian orthography, compatibility forms unfolded';

-- A text search configuration built from them, for Urdu: the tokens of words go through
-- kavex_urdu, then simple (which lower-cases the Latin letters among them and keeps every
-- token). Persian and Arabic are made the same way with kavex_persian and
-- kavex_arabic_search.
--
--   CREATE TEXT SEARCH CONFIGURATION urdu (COPY = simple);
--   ALTER TEXT SEARCH CONFIGURATION urdu
--     ALTER MAPPING FOR word, hword, hword_part, asciiword, asciihword, hword_asciipart
--     WITH kavex_urdu, simple;
--   CREATE INDEX ON articles USING gin (to_tsvector('urdu', body));
--   SELECT title FROM articles WHERE to_tsvector('urdu', body) @@ to_tsquery('urdu', 'پاکستان');
