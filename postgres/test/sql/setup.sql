-- The extension, and helpers the other tests share.
CREATE EXTENSION kavex;

SELECT p.oid::regprocedure AS function, p.provolatile AS volatile, p.proparallel AS parallel,
       p.proisstrict AS strict, pg_get_function_arguments(p.oid) AS arguments
FROM pg_proc p JOIN pg_depend d ON d.objid = p.oid AND d.deptype = 'e'
JOIN pg_extension e ON e.oid = d.refobjid AND e.extname = 'kavex'
ORDER BY 1::text;

SELECT dictname, dictinitoption FROM pg_ts_dict WHERE dictname LIKE 'kavex%' ORDER BY 1;

-- The code points of a text, for results that look alike.
CREATE FUNCTION cps(t text) RETURNS text LANGUAGE sql IMMUTABLE AS $$
  SELECT coalesce(string_agg(upper(lpad(to_hex(ascii(c)), 4, '0')), ' ' ORDER BY n), '')
  FROM regexp_split_to_table(t, '') WITH ORDINALITY AS s(c, n)
$$;

-- An error as SQLSTATE, message and hint, with the server's share folder (a temporary one
-- in this test) written SHAREDIR.
CREATE FUNCTION show_error(statement text) RETURNS void LANGUAGE plpgsql AS $$
DECLARE
  state text;
  message text;
  hint text;
BEGIN
  EXECUTE statement;
  RAISE NOTICE 'no error';
EXCEPTION WHEN OTHERS THEN
  GET STACKED DIAGNOSTICS state = RETURNED_SQLSTATE, message = MESSAGE_TEXT,
                          hint = PG_EXCEPTION_HINT;
  RAISE NOTICE E'%: %\nHINT: %', state,
    regexp_replace(message, '/[^'']*/share/postgresql/[0-9]+/', 'SHAREDIR/', 'g'),
    regexp_replace(hint, '/[^'']*/share/postgresql/[0-9]+/', 'SHAREDIR/', 'g');
END
$$;

-- The lines and samples the test runner wrote.
\getenv data KAVEX_REGRESS_LINES
CREATE TABLE data_folder AS SELECT :'data'::text AS path;
