-- Every form, with and without a profile; the defaults; NULLs and empty strings.

-- The samples against the results committed with them, in every form.
SELECT s.name, f.form,
       kavex_normalize(pg_read_file(d.path || '/samples/' || s.name || '.txt'), f.form)
         = pg_read_file(d.path || '/samples/' || s.name || '.' || lower(f.form)) AS same
FROM data_folder d,
     (VALUES ('arabic-diacritics'), ('persian'), ('presentation-forms'), ('urdu-heh')) s(name),
     (VALUES ('NFC'), ('NFD'), ('NFKD')) f(form)
ORDER BY 1, 2;

-- U+06BE after a shadda, harakat out of order, a presentation form, alef with madda.
SELECT form, cps(kavex_normalize(U&'\067E\0651\06BE', form)) AS heh,
       cps(kavex_normalize(U&'\0628\0651\0650', form)) AS harakat,
       cps(kavex_normalize(U&'\FEFB', form)) AS ligature,
       cps(kavex_normalize(U&'\0622', form)) AS madda
FROM (VALUES ('NFC'), ('NFD'), ('NFKD'), ('nfc'), ('Nfkd')) f(form);

-- The defaults: NFC, no profile; named arguments; a NULL profile is no profile.
SELECT kavex_normalize(U&'\0627\0653') = U&'\0622' AS default_nfc,
       kavex_normalize(U&'\0622', 'NFD') = U&'\0627\0653' AS nfd,
       kavex_normalize(U&'\0622', form => 'NFD') = U&'\0627\0653' AS named,
       kavex_normalize(U&'\064A', profile => 'persian') = U&'\06CC' AS named_profile,
       kavex_normalize(U&'\064A', 'NFC', NULL) = U&'\064A' AS null_profile;

-- Each profile.
SELECT profile, form, cps(kavex_normalize(U&'\0643\062A\0627\0628 \064A\0647', form, profile))
FROM (VALUES ('urdu'), ('persian'), ('arabic-search')) p(profile),
     (VALUES ('NFC'), ('NFD'), ('NFKD')) f(form)
ORDER BY 1, 2;
SELECT cps(kavex_normalize(U&'\0623\064E\062D\0652\0645\064E\0640\0640\062F', 'NFKD', 'arabic-search'));

-- NULL text or form gives NULL; empty text gives empty text.
SELECT kavex_normalize(NULL) IS NULL AS null_text,
       kavex_normalize('x', NULL) IS NULL AS null_form,
       kavex_normalize(NULL, 'NFD', 'urdu') IS NULL AS null_all,
       kavex_normalize('') = '' AS empty,
       kavex_normalize('', 'NFKD', 'urdu') = '' AS empty_profile,
       kavex_is_normalized(NULL) IS NULL AS is_null,
       kavex_is_normalized('x', NULL) IS NULL AS is_null_form,
       kavex_is_normalized('') AS is_empty;

-- kavex_is_normalized agrees with kavex_normalize.
SELECT cps(t), form, profile, kavex_is_normalized(t, form, profile) AS normalized,
       kavex_normalize(t, form, profile) = t AS unchanged
FROM (VALUES (U&'\0622'), (U&'\0627\0653'), ('plain ascii'), (U&'\0628\0651\064E')) x(t),
     (VALUES ('NFC', NULL), ('NFD', NULL), ('NFKD', 'arabic-search')) f(form, profile)
ORDER BY 1, 2;

-- Rows with several forms and profiles at once, and a prepared statement.
PREPARE norm(text, text, text) AS SELECT cps(kavex_normalize($1, $2, $3));
EXECUTE norm(U&'\0622', 'NFD', NULL);
EXECUTE norm(U&'\0622', 'NFC', NULL);
EXECUTE norm(U&'\064A', 'NFC', 'urdu');
EXECUTE norm(U&'\064A', 'NFC', NULL);
DEALLOCATE norm;
