-- A database that is not UTF8 is refused: by CREATE EXTENSION, and by the first call of a
-- function bound to the module by hand.
\set regress_database :DBNAME
CREATE DATABASE kavex_latin1 ENCODING 'LATIN1' LC_COLLATE 'C' LC_CTYPE 'C' TEMPLATE template0;
\c kavex_latin1
CREATE EXTENSION kavex;
\echo :LAST_ERROR_SQLSTATE
SELECT count(*) FROM pg_proc WHERE proname LIKE 'kavex%';
CREATE FUNCTION kavex_normalize(text, text DEFAULT 'NFC', text DEFAULT NULL) RETURNS text
  AS '$libdir/kavex', 'kavex_normalize' LANGUAGE C IMMUTABLE;
SELECT kavex_normalize('abc');
\echo :LAST_ERROR_SQLSTATE
\c :regress_database
DROP DATABASE kavex_latin1;
SELECT kavex_normalize('abc') AS works_again;
