-- Every error, with its SQLSTATE and hint.
SELECT kavex_normalize('x', 'NFX');
\echo :LAST_ERROR_SQLSTATE
SELECT kavex_is_normalized('x', '');
\echo :LAST_ERROR_SQLSTATE
SELECT kavex_normalize('x', 'NFC', 'klingon');
\echo :LAST_ERROR_SQLSTATE
SELECT kavex_normalize('x', 'NFC', '../urdu');
\echo :LAST_ERROR_SQLSTATE
SELECT kavex_normalize('x', 'NFC', '');
\echo :LAST_ERROR_SQLSTATE
-- The error leaves the backend as it was: the next call works.
SELECT kavex_normalize(U&'\0627\0653');

-- Dictionaries: options, names and folders.
CREATE TEXT SEARCH DICTIONARY regress_bad (TEMPLATE = kavex, FORM = 'NFQ');
\echo :LAST_ERROR_SQLSTATE
CREATE TEXT SEARCH DICTIONARY regress_bad (TEMPLATE = kavex, PROFILE = 'pashto');
\echo :LAST_ERROR_SQLSTATE
CREATE TEXT SEARCH DICTIONARY regress_bad (TEMPLATE = kavex, LANGUAGE = 'urdu');
\echo :LAST_ERROR_SQLSTATE
CREATE TEXT SEARCH DICTIONARY regress_bad (TEMPLATE = kavex, FORM = 'NFC', FORM = 'NFD');
\echo :LAST_ERROR_SQLSTATE
CREATE TEXT SEARCH DICTIONARY regress_bad (TEMPLATE = kavex, RULES = '../../../etc');
\echo :LAST_ERROR_SQLSTATE
CREATE TEXT SEARCH DICTIONARY regress_bad (TEMPLATE = kavex, RULES = '');
\echo :LAST_ERROR_SQLSTATE
-- Folders that cannot be loaded name the folder and the file.
SELECT show_error($$CREATE TEXT SEARCH DICTIONARY regress_bad (TEMPLATE = kavex, RULES = 'no_such_rules')$$);
SELECT show_error($$CREATE TEXT SEARCH DICTIONARY regress_bad (TEMPLATE = kavex, RULES = 'regress_broken')$$);
SELECT show_error($$CREATE TEXT SEARCH DICTIONARY regress_bad (TEMPLATE = kavex, RULES = 'regress_broken', FORM = 'NFD')$$);
SELECT show_error($$CREATE TEXT SEARCH DICTIONARY regress_bad (TEMPLATE = kavex, RULES = 'regress_rules', PROFILE = 'urdu')$$);
-- A rule that writes U+0000, which a text value cannot hold.
CREATE TEXT SEARCH DICTIONARY regress_nul (TEMPLATE = kavex, RULES = 'regress_rules', FORM = 'NFKD');
SELECT ts_lexize('regress_nul', 'aza');
\echo :LAST_ERROR_SQLSTATE
SELECT ts_lexize('regress_nul', 'aa');
