-- kavex_normalize against kavex-normalize on a few hundred real lines, in every form and
-- profile: the test runner wrote the lines and the tool's result of each.
CREATE TABLE lines AS
SELECT n, line
FROM data_folder, string_to_table(pg_read_file(path || '/lines.txt'), E'\n') WITH ORDINALITY t(line, n);
SELECT count(*) >= 300 AS enough_lines, count(DISTINCT line) >= 300 AS distinct_lines FROM lines;

CREATE TABLE tool_results AS
SELECT form, nullif(substr(name, length(form) + 2), '') AS profile, n, line
FROM data_folder,
     LATERAL (SELECT replace(f, '.txt', '') AS name FROM pg_ls_dir(path) f
              WHERE f LIKE '%.txt' AND f <> 'lines.txt') files,
     LATERAL (SELECT upper(split_part(name, '-', 1)) AS form) forms,
     LATERAL string_to_table(pg_read_file(path || '/' || name || '.txt'), E'\n')
       WITH ORDINALITY t(line, n);

-- NFKC is compared in its own test, as the shipped rules may not have it.
SELECT t.form, t.profile, count(*) = (SELECT count(*) FROM lines) AS every_line,
       count(*) FILTER (WHERE kavex_normalize(l.line, t.form, t.profile) IS DISTINCT FROM t.line)
         AS differing,
       count(*) FILTER (WHERE kavex_normalize(l.line, t.form, t.profile) <> l.line) > 0 AS some_changed
FROM tool_results t JOIN lines l USING (n)
WHERE t.form <> 'NFKC'
GROUP BY 1, 2 ORDER BY 1, 2;

-- All the lines at once, as one value of many pieces.
SELECT form, kavex_normalize(string_agg(line, E'\n' ORDER BY n), form)
             = string_agg(kavex_normalize(line, form), E'\n' ORDER BY n) AS same
FROM lines, (VALUES ('NFC'), ('NFD'), ('NFKD')) f(form)
GROUP BY form ORDER BY form;
