-- The dictionaries on their own, in text search configurations, and a GIN index.
SELECT d, cps(w), (SELECT string_agg(cps(l), ' | ') FROM unnest(ts_lexize(d::regdictionary, w)) l) AS lexemes,
       ts_lexize(d::regdictionary, w) IS NULL AS unchanged
FROM (VALUES ('kavex_arabic_search'), ('kavex_urdu'), ('kavex_persian')) x(d),
     (VALUES (U&'\0623\064E\062D\0652\0645\064E\062F'), (U&'\0643\062A\0627\0628'),
             (U&'\064A\0647'), (U&'\0640'), ('latin')) y(w)
ORDER BY 1, 2;

-- The configurations, built as the README builds them.
CREATE TEXT SEARCH CONFIGURATION kavex_urdu_search (COPY = simple);
ALTER TEXT SEARCH CONFIGURATION kavex_urdu_search
  ALTER MAPPING FOR word, hword, hword_part, asciiword, asciihword, hword_asciipart
  WITH kavex_urdu, simple;
CREATE TEXT SEARCH CONFIGURATION kavex_arabic (COPY = simple);
ALTER TEXT SEARCH CONFIGURATION kavex_arabic
  ALTER MAPPING FOR word, hword, hword_part, asciiword, asciihword, hword_asciipart
  WITH kavex_arabic_search, simple;

SELECT to_tsvector('kavex_arabic', U&'\0623\064E\062D\0652\0645\064E\062F \0648\064E\0625\0650\0628\0652\0631\064E\0627\0647\0650\064A\0645\064F Ahmad');
SELECT to_tsquery('kavex_arabic', U&'\0623\064E\062D\0652\0645\064E\062F & \0627\0628\0631\0627\0647\064A\0645');
SELECT to_tsvector('kavex_arabic', U&'\0623\064E\062D\0652\0645\064E\062F')
       @@ to_tsquery('kavex_arabic', U&'\0627\062D\0645\062F') AS matches;
SELECT to_tsvector('kavex_urdu_search', U&'\064A\0647 \0643\062A\0627\0628 \0647\06D2')
       @@ to_tsquery('kavex_urdu_search', U&'\06CC\06C1') AS urdu_matches;
SELECT cps(array_to_string(tsvector_to_array(to_tsvector('kavex_urdu_search', U&'\064A\0647 \0643\062A\0627\0628')), ' '));

-- A GIN index on to_tsvector through a kavex dictionary, used by a search.
CREATE TABLE texts (id int, body text);
INSERT INTO texts
SELECT i, CASE WHEN i % 100 = 0 THEN U&'\0623\064E\062D\0652\0645\064E\062F \0642\064E\0627\0644\064E'
               ELSE 'filler ' || i END
FROM generate_series(1, 2000) i;
CREATE INDEX texts_search ON texts USING gin (to_tsvector('kavex_arabic', body));
ANALYZE texts;
SET enable_seqscan = off;
EXPLAIN (COSTS OFF)
SELECT id FROM texts WHERE to_tsvector('kavex_arabic', body) @@ to_tsquery('kavex_arabic', U&'\0627\062D\0645\062F');
SELECT count(*) FROM texts WHERE to_tsvector('kavex_arabic', body) @@ to_tsquery('kavex_arabic', U&'\0627\062D\0645\062F');
RESET enable_seqscan;

-- A user's rules folder (RULES): its one rule deletes x. A token it changes goes on
-- changed, one it leaves goes on as it is (NULL), one it deletes whole is dropped.
CREATE TEXT SEARCH DICTIONARY regress_no_x (TEMPLATE = kavex, RULES = 'regress_rules');
SELECT ts_lexize('regress_no_x', 'axbx') AS changed, ts_lexize('regress_no_x', 'ab') AS same,
       ts_lexize('regress_no_x', 'xx') AS dropped;
CREATE TEXT SEARCH CONFIGURATION regress_no_x (COPY = simple);
ALTER TEXT SEARCH CONFIGURATION regress_no_x ALTER MAPPING FOR asciiword WITH regress_no_x, simple;
SELECT to_tsvector('regress_no_x', 'Max xx Box');
-- Options in any case, the form named.
CREATE TEXT SEARCH DICTIONARY regress_no_x_nfd (Template = kavex, Rules = 'regress_rules', Form = 'nfd');
SELECT ts_lexize('regress_no_x_nfd', 'xyx');
