"""Writes the Japanese site (html/ja/, UTF-8) from the English pages and the shared includes:
every page and every include with text, with the English texts replaced by the Japanese ones of
the table below. Run it after changing an English page, add the new texts to the table, and
check that no English is left (the report at the end names what was not translated).
    python3 site/tools/make_ja.py"""
import re, os
src = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'html')
T = [
# header/footer
('<title>[% OUTESCAPEHTML($TITLE) %] - Printer management</title>','<title>[% OUTESCAPEHTML($TITLE) %] - プリンタ管理</title>'),
('TEMPLATE=index.htm">Printer management</a>','TEMPLATE=index.htm">プリンタ管理</a>'),
('<footer class="bottom">Printer management</footer>','<footer class="bottom">プリンタ管理</footer>'),
('TEMPLATE=printers.htm">Printers</a>','TEMPLATE=printers.htm">プリンタ</a>'),
('TEMPLATE=alertlist.htm">Alerts</a>','TEMPLATE=alertlist.htm">アラート</a>'),
('TEMPLATE=discover.htm">Discovery</a>','TEMPLATE=discover.htm">検索</a>'),
('TEMPLATE=groups.htm">Groups</a>','TEMPLATE=groups.htm">グループ</a>'),
('TEMPLATE=settings.htm">Settings</a>','TEMPLATE=settings.htm">設定</a>'),
('<a href="/qm?LANGUAGE=ja&amp;TEMPLATE=index.htm" lang="ja" hreflang="ja">日本語</a>','<a href="/qm?LANGUAGE=en&amp;TEMPLATE=index.htm" lang="en" hreflang="en">English</a>'),
# titles
('$TITLE = "Home"','$TITLE = "ホーム"'), ('$TITLE = "Printers"','$TITLE = "プリンタ一覧"'),
('$TITLE = "Printer"','$TITLE = "プリンタ"'), ('$TITLE = "Discovery"','$TITLE = "検索"'),
('$TITLE = "Groups"','$TITLE = "グループ"'), ('$TITLE = "Group"','$TITLE = "グループ"'),
('$TITLE = "Settings"','$TITLE = "設定"'), ('$TITLE = "Alerts"','$TITLE = "アラート"'),
# index
('<h1>Printer management</h1>','<h1>プリンタ管理</h1>'),
('<p>This server manages the network printers of this installation from your browser.</p>','<p>このサーバーは、このシステムのネットワークプリンタをブラウザから管理します。</p>'),
('Printers</a>: every registered printer with its state, type and colour.','プリンタ</a>: 登録されたすべてのプリンタの状態、種類、カラー。'),
('Alerts</a>: what every printer reports as wrong, in one list.','アラート</a>: すべてのプリンタが報告している異常の一覧。'),
('Discovery</a>: search the network for printers and register them.','検索</a>: ネットワーク上のプリンタを探して登録します。'),
('Groups</a>: printers by group; create groups, put printers and groups into them.','グループ</a>: グループごとのプリンタ。グループの作成、プリンタやグループの追加。'),
('Settings</a>: where discovery searches, and the log settings.','設定</a>: 検索する範囲とログの設定。'),
("<li>A printer's own page shows its supplies, alerts and counters, keeps its description, and starts or stops watching it (the monitor then logs it).</li>","<li>各プリンタのページでは、消耗品、アラート、カウンタを表示し、説明を保存し、監視の開始と停止ができます(監視中はログが記録されます)。</li>"),
('<h2>This server</h2>','<h2>このサーバー</h2>'), ('<tr><th>Server</th>','<tr><th>サーバー</th>'),
('<tr><th>Host</th>','<tr><th>ホスト</th>'), ('<tr><th>Page language</th>','<tr><th>ページの言語</th>'),
('<tr><th>Request</th>','<tr><th>リクエスト</th>'), ('<h2>Status signals</h2>','<h2>状態の表示</h2>'),
('<p>Printer pages mark every printer with one of these signals:</p>','<p>プリンタのページでは、各プリンタを次のいずれかで示します:</p>'),
('</span>Ready</li>','</span>印刷可能</li>'), ('</span>Warning</li>','</span>警告</li>'), ('</span>Error</li>','</span>エラー</li>'),
('</span>No answer</li>','</span>応答なし</li>'),
# signal
('</span>Error (service needed)','</span>エラー(サービスが必要)'),
('</span>No answer','</span>応答なし'), ('</span>Ready','</span>印刷可能'), ('</span>Warning\n','</span>警告\n'),
('</span>Error\n','</span>エラー\n'), ('</span>Unknown','</span>不明'),
# kind / colour
('[% CASE 1 %]Laser','[% CASE 1 %]レーザー'), ('[% CASE 2 %]Impact','[% CASE 2 %]インパクト'),
('[% CASE 3 %]Ink jet','[% CASE 3 %]インクジェット'), ('[% CASE 4 %]Other','[% CASE 4 %]その他'),
('[% CASE 1 %]Monochrome','[% CASE 1 %]モノクロ'), ('[% CASE 2 %]Colour\n','[% CASE 2 %]カラー\n'),
('[% CASE 3 %]Colour and monochrome','[% CASE 3 %]カラーとモノクロ'),
# supplies
('<h2>Supplies</h2>','<h2>消耗品</h2>'), ('The printer reports no supplies.','このプリンタは消耗品を報告していません。'),
('<th>Supply</th><th>Colour</th><th>Level</th>','<th>消耗品</th><th>色</th><th>残量</th>'),
('<span class="muted">(receptacle)</span>','<span class="muted">(回収容器)</span>'),
("% [% IF ($CLASS == 4) %]full[% ELSE %]left[% ENDIF %]","% [% IF ($CLASS == 4) %]使用済み[% ELSE %]残り[% ENDIF %]"),
(' (capacity unknown)',' (容量不明)'),
('[% CASE -1 %]no restriction[% CASE -2 %]unknown[% CASE -3 %]some remaining[% DEFAULT %]not reported','[% CASE -1 %]制限なし[% CASE -2 %]不明[% CASE -3 %]残量あり[% DEFAULT %]報告なし'),
# alerts
('<h2>Alerts</h2>','<h2>アラート</h2>'), ('<h1>Alerts</h1>','<h1>アラート</h1>'), ('<p class="muted">No alerts.</p>','<p class="muted">アラートはありません。</p>'),
('<th>Severity</th><th>Training level</th><th>Description</th>','<th>重要度</th><th>対応者</th><th>内容</th>'),
('</span>Critical','</span>重大'), ('[% CASE 4 %]<span class="signal warning"></span>Warning','[% CASE 4 %]<span class="signal warning"></span>警告'),
('Warning (cleared by itself)','警告(自動解除)'), ('[% DEFAULT %]Other[% ENDSWITCH %]','[% DEFAULT %]その他[% ENDSWITCH %]'),
('[% CASE 3 %]Untrained[% CASE 4 %]Trained[% CASE 5 %]Field service[% CASE 6 %]Management[% CASE 2 %]Unknown','[% CASE 3 %]一般の利用者[% CASE 4 %]訓練を受けた利用者[% CASE 5 %]サービス担当者[% CASE 6 %]管理者[% CASE 2 %]不明'),
# counters
('<h2>Counters</h2>','<h2>カウンタ</h2>'), ('The printer reports no counters.','このプリンタはカウンタを報告していません。'),
('<tr><th>Marker [% OUTESCAPEHTML($I + 1) %]</th>','<tr><th>マーカー [% OUTESCAPEHTML($I + 1) %]</th>'),
('[% CASE 3 %]ten-thousandths of inches[% CASE 4 %]micrometers[% CASE 5 %]characters[% CASE 6 %]lines[% CASE 7 %]impressions[% CASE 8 %]sheets[% CASE 9 %]dot rows[% CASE 11 %]hours[% CASE 16 %]feet[% CASE 17 %]meters','[% CASE 3 %]×1/10000 インチ[% CASE 4 %]マイクロメートル[% CASE 5 %]文字[% CASE 6 %]行[% CASE 7 %]面[% CASE 8 %]枚[% CASE 9 %]ドット行[% CASE 11 %]時間[% CASE 16 %]フィート[% CASE 17 %]メートル'),
# printers list
('<h1>Printers</h1>','<h1>プリンタ一覧</h1>'),
('<th>Name</th><th>Address</th><th>State</th><th>Model</th><th>Type</th><th>Colour</th>','<th>名前</th><th>アドレス</th><th>状態</th><th>機種</th><th>種類</th><th>カラー</th>'),
('The list of printers cannot be read (error','プリンタの一覧を読めません (エラー'),
('<p>No printers are registered yet. <a','<p>まだプリンタが登録されていません。<a'),
('">Search the network</a> to find them.</p>','">ネットワークを検索</a>して見つけてください。</p>'),
(' printer(s).</p>',' 台のプリンタ。</p>'),
# printer
('<h1>Printer</h1>','<h1>プリンタ</h1>'),
('This printer is not known (error','このプリンタは登録されていません (エラー'),
('">Back to the printers</a>','">プリンタ一覧へ戻る</a>'),
('<h2>Identity</h2>','<h2>識別情報</h2>'), ('<tr><th>State</th>','<tr><th>状態</th>'),
('<tr><th>Model</th>','<tr><th>機種</th>'), ('<tr><th>System</th>','<tr><th>システム</th>'),
('<tr><th>SNMP name</th>','<tr><th>SNMP 名</th>'), ('<tr><th>Location</th>','<tr><th>設置場所</th>'),
('<tr><th>Host name</th>','<tr><th>ホスト名</th>'), ('<tr><th>Address</th>','<tr><th>アドレス</th>'),
('<tr><th>MAC address</th>','<tr><th>MAC アドレス</th>'), ('<tr><th>Device index</th>','<tr><th>デバイス番号</th>'),
('<h2>Printer</h2>','<h2>プリンタ</h2>'), ('<tr><th>Type</th>','<tr><th>種類</th>'),
('<tr><th>Colour</th>','<tr><th>カラー</th>'), ('<tr><th>Paper</th>','<tr><th>用紙</th>'),
# device settings
('<h2>Watch</h2>','<h2>監視</h2>'),
("Watched: the monitor logs this printer's alerts, print counts and consumables.","監視中: アラート、印刷枚数、消耗品をログに記録しています。"),
('>Stop watching</button>','>監視を停止</button>'), ('<p id="watch-state">Not watched.</p>','<p id="watch-state">監視していません。</p>'),
('>Watch this printer</button>','>このプリンタを監視</button>'), ('<h2>Settings</h2>','<h2>設定</h2>'),
('>Description</label>','>説明</label>'), ('>Management number</label>','>管理番号</label>'),
('>Serial number</label>','>シリアル番号</label>'), ('>Print count every (minutes)</label>','>印刷枚数の記録間隔(分)</label>'),
('>Consumables every (minutes)</label>','>消耗品の記録間隔(分)</label>'), ('>Save</button>','>保存</button>'),
# device edit
('The printer is watched now.','このプリンタの監視を開始しました。'),
('The printer could not be watched (error','このプリンタを監視できませんでした (エラー'),
('The printer is no longer watched.','このプリンタの監視を停止しました。'),
('The watch could not be ended (error','監視を停止できませんでした (エラー'),
('$BAD = $BAD + " description"','$BAD = $BAD + " 説明"'), ('$BAD = $BAD + " management number"','$BAD = $BAD + " 管理番号"'),
('$BAD = $BAD + " serial number"','$BAD = $BAD + " シリアル番号"'), ('$BAD = $BAD + " print count interval"','$BAD = $BAD + " 印刷枚数の記録間隔"'),
('$BAD = $BAD + " consumables interval"','$BAD = $BAD + " 消耗品の記録間隔"'),
('The settings are saved.','設定を保存しました。'), ('<p class="problem">Not saved:[% OUTESCAPEHTML($BAD) %].</p>','<p class="problem">保存されなかった項目:[% OUTESCAPEHTML($BAD) %]</p>'),
('<p class="problem">Nothing to do.</p>','<p class="problem">実行する操作がありません。</p>'), ('an empty interval keeps the stored one (a new record\'s are 60 and 1440).','an empty interval keeps the stored one.'),
# discover
('<h1>Discovery</h1>','<h1>検索</h1>'),
('<p>Searching with the stored settings (see <a','<p>保存された設定で検索しています (<a'),
('">Settings</a>). Printers appear as they answer.</p>','">設定</a>を参照)。応答したプリンタから表示されます。</p>'),
('<th>Name</th><th>Address</th><th>MAC address</th><th>State</th>','<th>名前</th><th>アドレス</th><th>MAC アドレス</th><th>状態</th>'),
('<p class="problem">The search could not start: subnet [% OUTESCAPEHTML($I) %] ([% OUTESCAPEHTML($A) %]) has no subnet mask. Set its mask or clear it in <a','<p class="problem">検索を開始できません: サブネット [% OUTESCAPEHTML($I) %] ([% OUTESCAPEHTML($A) %]) にサブネットマスクがありません。<a'),
('">Settings</a>.</p>','">設定</a>でマスクを設定するか、サブネットを消去してください。</p>'),
('The search could not start (error [% OUTESCAPEHTML($SE) %]): no search address is set and the local segment is off.','検索を開始できません (エラー [% OUTESCAPEHTML($SE) %]): 検索するアドレスがなく、ローカルセグメントもオフです。'),
('The search could not start (error [% OUTESCAPEHTML($SE) %]): a search address in <a','検索を開始できません (エラー [% OUTESCAPEHTML($SE) %]): <a'),
('">Settings</a> is not a valid address.</p>','">設定</a>の検索アドレスに正しくないものがあります。</p>'),
('Search finished: [% OUTESCAPEHTML($N) %] printer(s) found.','検索終了: [% OUTESCAPEHTML($N) %] 台のプリンタが見つかりました。'),
# groups
('<h1>Groups</h1>','<h1>グループ</h1>'),
('The groups cannot be read (error','グループを読めません (エラー'),
('<p class="muted">There are no groups.</p>','<p class="muted">グループはありません。</p>'),
('<h2>New group</h2>','<h2>新しいグループ</h2>'), ('>Name</label>','>名前</label>'), ('>Create</button>','>作成</button>'),
# group view
('<h1>Group</h1>','<h1>グループ</h1>'), ('There is no group','グループがありません:'),
('">Back to the groups</a>','">グループ一覧へ戻る</a>'),
('<h1>Group [% OUTESCAPEHTML($GROUP) %]</h1>','<h1>グループ [% OUTESCAPEHTML($GROUP) %]</h1>'),
('<h2>Printers</h2>','<h2>プリンタ</h2>'),
('<th>Name</th><th>Address</th><th>State</th><th></th>','<th>名前</th><th>アドレス</th><th>状態</th><th></th>'),
('>Remove</button>','>外す</button>'), ('This group cannot be read (error','このグループを読めません (エラー'),
('<p class="muted">This group has no printers.</p>','<p class="muted">このグループにプリンタはありません。</p>'),
('>Add a printer</label>','>プリンタを追加</label>'), ('>Add</button>','>追加</button>'),
('<p class="muted">Discovery keeps this list: every printer it found.</p>','<p class="muted">この一覧は検索が管理します(見つかったすべてのプリンタ)。</p>'),
('<h2>Sub-groups</h2>','<h2>サブグループ</h2>'), ('<p class="muted">No sub-groups.</p>','<p class="muted">サブグループはありません。</p>'),
('>Add a sub-group</label>','>サブグループを追加</label>'), ('<h2>About this group</h2>','<h2>このグループについて</h2>'),
('>Administrator</label>','>管理者</label>'), ('>Mail address</label>','>メールアドレス</label>'),
('>Telephone</label>','>電話番号</label>'), ('>New name</label>','>新しい名前</label>'), ('>Rename</button>','>名前を変更</button>'),
('>Delete this group</button>','>このグループを削除</button>'),
('<span class="muted">Its printers stay registered.</span>','<span class="muted">プリンタの登録はそのまま残ります。</span>'),
# group edit
('$WHAT = "Group created."','$WHAT = "グループを作成しました。"'), ('$WHAT = "Group renamed."','$WHAT = "グループの名前を変更しました。"'),
('$WHAT = "Group deleted."','$WHAT = "グループを削除しました。"'), ('$WHAT = "Sub-group added."','$WHAT = "サブグループを追加しました。"'),
('$WHAT = "Sub-group removed."','$WHAT = "サブグループを外しました。"'), ('$WHAT = "Printer added."','$WHAT = "プリンタを追加しました。"'),
('$WHAT = "Printer removed."','$WHAT = "プリンタを外しました。"'), ('$WHAT = "Saved."','$WHAT = "保存しました。"'),
('[% CASE -3 %]Not done: the name is in use, too long, or not allowed here (the group "All Devices" cannot be renamed, deleted or changed by hand; a group cannot contain a group it lies in).','[% CASE -3 %]実行できません: 名前が使用中か長すぎるか、ここでは使えません(「All Devices」グループは名前の変更、削除、手動の変更ができません。グループは自分を含むグループを含めません)。'),
('[% CASE -4 %]Not done: the group or the printer does not exist (any more).','[% CASE -4 %]実行できません: グループまたはプリンタが存在しません。'),
('[% DEFAULT %]Not done (error','[% DEFAULT %]実行できません (エラー'),
# settings
('<h1>Settings</h1>','<h1>設定</h1>'), ('<h2>Search</h2>','<h2>検索</h2>'),
("""<p class="muted">Discovery asks the single addresses, broadcasts into each subnet, and, when
the local segment is on, broadcasts on this computer's own network.</p>""","""<p class="muted">検索では、個別のアドレスに問い合わせ、各サブネットにブロードキャストし、
ローカルセグメントがオンのときはこのコンピュータのネットワークにもブロードキャストします。</p>"""),
('>Local segment</label>','>ローカルセグメント</label>'),
('">Subnet [% OUTESCAPEHTML($I) %]</label>','">サブネット [% OUTESCAPEHTML($I) %]</label>'),
('\nmask <input','\nマスク <input'),
('">Printer address [% OUTESCAPEHTML($I - 5) %]</label>','">プリンタのアドレス [% OUTESCAPEHTML($I - 5) %]</label>'),
('<h2>Logs and groups</h2>','<h2>ログとグループ</h2>'), ('>Largest log (bytes)</label>','>ログの最大サイズ(バイト)</label>'),
('>Log kept for (days)</label>','>ログの保存期間(日)</label>'),
('<tr><th>Other events logged</th>','<tr><th>その他のイベントの記録</th>'),
('<tr><th>Group of all devices</th>','<tr><th>全デバイスのグループ</th>'), ('<tr><th>Separate browser</th>','<tr><th>別ウィンドウで開く</th>'),
# settings edit
('" local segment;"','" ローカルセグメント;"'), ('" subnet 1 ("','" サブネット 1 ("'), ('" subnet 2 ("','" サブネット 2 ("'),
('" subnet 3 ("','" サブネット 3 ("'), ('" subnet 4 ("','" サブネット 4 ("'), ('" subnet 5 ("','" サブネット 5 ("'),
('" mask 1 ("','" マスク 1 ("'), ('" mask 2 ("','" マスク 2 ("'), ('" mask 3 ("','" マスク 3 ("'), ('" mask 4 ("','" マスク 4 ("'), ('" mask 5 ("','" マスク 5 ("'),
('" printer address 1 ("','" プリンタのアドレス 1 ("'), ('" printer address 2 ("','" プリンタのアドレス 2 ("'),
('" printer address 3 ("','" プリンタのアドレス 3 ("'), ('" printer address 4 ("','" プリンタのアドレス 4 ("'),
('" printer address 5 ("','" プリンタのアドレス 5 ("'), ('" largest log;"','" ログの最大サイズ;"'), ('" log days;"','" ログの保存期間;"'),
('Saved, except what is not a valid value here (addresses as 192.168.1.20, masks as 255.255.255.0, numbers as digits):[% OUTESCAPEHTML($BAD) %] These keep their stored value, shown below.','保存しました。ただし次の項目は値が正しくないため保存していません(アドレスは 192.168.1.20、マスクは 255.255.255.0 の形、数値は数字で入力してください):[% OUTESCAPEHTML($BAD) %] これらの項目は以前の値のままです。'),
# alert list
('<th>Printer</th><th>Severity</th><th>Training level</th><th>Description</th>','<th>プリンタ</th><th>重要度</th><th>対応者</th><th>内容</th>'),
('<td><span class="signal none"></span>No answer</td>','<td><span class="signal none"></span>応答なし</td>'),
(' alert(s)[% IF ($SILENT > 0) %]; [% OUTESCAPEHTML($SILENT) %] printer(s) did not answer[% ENDIF %].',' 件のアラート[% IF ($SILENT > 0) %]、[% OUTESCAPEHTML($SILENT) %] 台のプリンタが応答しませんでした[% ENDIF %]。'),
# log pages
('$TITLE = "Printer log"','$TITLE = "プリンタのログ"'), ('$TITLE = "Alert log"','$TITLE = "アラートログ"'),
('$TITLE = "Counter log"','$TITLE = "カウンタログ"'), ('$TITLE = "Supplies log"','$TITLE = "消耗品ログ"'),
('$TITLE = "Group log"','$TITLE = "グループのログ"'),
('<h1>[% OUTESCAPEHTML($TITLE) %] of [% OUTESCAPEHTML($NAME) %]</h1>','<h1>[% OUTESCAPEHTML($NAME) %] の[% OUTESCAPEHTML($TITLE) %]</h1>'),
('TEMPLATE=printer.htm&amp;KEY=[% OUTENCODEHTML($K) %]">Printer</a>','TEMPLATE=printer.htm&amp;KEY=[% OUTENCODEHTML($K) %]">プリンタ</a>'),
('&amp;KIND=0&amp;PAGE=1">Alert log</a>','&amp;KIND=0&amp;PAGE=1">アラートログ</a>'),
('&amp;KIND=1&amp;PAGE=1">Counter log</a>','&amp;KIND=1&amp;PAGE=1">カウンタログ</a>'),
('&amp;KIND=2&amp;PAGE=1">Supplies log</a>','&amp;KIND=2&amp;PAGE=1">消耗品ログ</a>'),
('&amp;PAGE=1">Group log</a>','&amp;PAGE=1">グループのログ</a>'),
('<h2>Logs</h2>','<h2>ログ</h2>'),
('This log cannot be read (error [% OUTESCAPEHTML($OE) %]): the printer is not watched, or it keeps no such log.','このログを読めません (エラー [% OUTESCAPEHTML($OE) %]): プリンタが監視されていないか、このログがありません。'),
('This log cannot be read (error [% OUTESCAPEHTML($OE) %]): the group is not watched, or it does not exist.','このログを読めません (エラー [% OUTESCAPEHTML($OE) %]): グループが監視されていないか、存在しません。'),
('<th>Date</th><th>Time</th>','<th>日付</th><th>時刻</th>'),
('<th>Severity</th><th>Where</th><th>Training level</th><th>Code</th><th>Description</th>','<th>重要度</th><th>場所</th><th>対応者</th><th>コード</th><th>内容</th>'),
('<th>Count</th><th>Unit</th>','<th>カウント</th><th>単位</th>'), ('<th>Supply</th><th>Level</th>','<th>消耗品</th><th>残量</th>'),
('<th>Printer</th><th>Watch</th>','<th>プリンタ</th><th>監視</th>'),
('[% CASE "3" %]ten-thousandths of inches[% CASE "4" %]micrometers[% CASE "5" %]characters[% CASE "6" %]lines[% CASE "7" %]impressions[% CASE "8" %]sheets[% CASE "9" %]dot rows[% CASE "11" %]hours[% CASE "16" %]feet[% CASE "17" %]meters[% DEFAULT %]unit ','[% CASE "3" %]×1/10000 インチ[% CASE "4" %]マイクロメートル[% CASE "5" %]文字[% CASE "6" %]行[% CASE "7" %]面[% CASE "8" %]枚[% CASE "9" %]ドット行[% CASE "11" %]時間[% CASE "16" %]フィート[% CASE "17" %]メートル[% DEFAULT %]単位 '),
('[% IF ($R[3] == "-1") %]Unknown[% ELSE %]','[% IF ($R[3] == "-1") %]不明[% ELSE %]'),
('<p class="muted">Records [% OUTHTML($FIRST) %] to [% OUTHTML($FIRST + $N - 1) %].</p>','<p class="muted">[% OUTHTML($FIRST) %] 件目から [% OUTHTML($FIRST + $N - 1) %] 件目。</p>'),
('Nothing has been recorded in this log yet.','このログにはまだ記録がありません。'), ('This page is past the end of the log.','このページはログの終わりより後です。'),
('Reading the log failed (error','ログの読み込みに失敗しました (エラー'),
('">Previous page</a>','">前のページ</a>'), ('">Next page</a>','">次のページ</a>'),
('<h1>Log of group [% OUTESCAPEHTML($GROUP) %]</h1>','<h1>グループ [% OUTESCAPEHTML($GROUP) %] のログ</h1>'),
('">Members of the group</a>','">グループのメンバー</a>'),
('</span>No answer</td><td></td><td></td><td></td><td>The printer did not answer.</td>','</span>応答なし</td><td></td><td></td><td></td><td>プリンタが応答しませんでした。</td>'),
('</span>Cleared</td><td></td><td></td><td></td><td>Alerts of the printer were cleared.</td>','</span>解除</td><td></td><td></td><td></td><td>プリンタのアラートが解除されました。</td>'),
('[% CASE "3" %]<span class="signal error"></span>Critical[% CASE "4" %]<span class="signal warning"></span>Warning[% CASE "5" %]Warning (cleared by itself)[% DEFAULT %]Other','[% CASE "3" %]<span class="signal error"></span>重大[% CASE "4" %]<span class="signal warning"></span>警告[% CASE "5" %]警告(自動解除)[% DEFAULT %]その他'),
('[% CASE "5" %]Printer[% CASE "6" %]Cover[% CASE "7" %]Localization[% CASE "8" %]Input[% CASE "9" %]Output[% CASE "10" %]Marker[% CASE "11" %]Supplies[% CASE "12" %]Colorant[% CASE "13" %]Media path[% CASE "14" %]Channel[% CASE "15" %]Interpreter[% CASE "16" %]Console display[% CASE "17" %]Console lights[% CASE "30" %]Finisher[% CASE "31" %]Finisher supply[% DEFAULT %]Group ','[% CASE "5" %]プリンタ[% CASE "6" %]カバー[% CASE "7" %]ローカライズ[% CASE "8" %]給紙[% CASE "9" %]排紙[% CASE "10" %]マーカー[% CASE "11" %]消耗品[% CASE "12" %]色材[% CASE "13" %]用紙搬送路[% CASE "14" %]チャネル[% CASE "15" %]インタプリタ[% CASE "16" %]操作パネル表示[% CASE "17" %]操作パネルランプ[% CASE "30" %]フィニッシャ[% CASE "31" %]フィニッシャ消耗品[% DEFAULT %]グループ '),
('[% CASE "3" %]Untrained[% CASE "4" %]Trained[% CASE "5" %]Field service[% CASE "6" %]Management[% CASE "2" %]Unknown[% DEFAULT %]Other','[% CASE "3" %]一般の利用者[% CASE "4" %]訓練を受けた利用者[% CASE "5" %]サービス担当者[% CASE "6" %]管理者[% CASE "2" %]不明[% DEFAULT %]その他'),
('[% CASE "3" %]Toner[% CASE "4" %]Waste toner[% CASE "5" %]Ink[% CASE "6" %]Ink cartridge[% CASE "7" %]Ink ribbon[% CASE "8" %]Waste ink[% CASE "9" %]Photoconductor[% CASE "10" %]Developer[% CASE "11" %]Fuser oil[% CASE "12" %]Solid wax[% CASE "13" %]Ribbon wax[% CASE "14" %]Waste wax[% CASE "15" %]Fuser[% CASE "16" %]Corona wire[% CASE "18" %]Cleaner unit[% CASE "20" %]Transfer unit[% CASE "21" %]Toner cartridge[% CASE "32" %]Staples[% CASE "1" %]Other[% CASE "2" %]Unknown[% DEFAULT %]Supply type ','[% CASE "3" %]トナー[% CASE "4" %]廃トナー[% CASE "5" %]インク[% CASE "6" %]インクカートリッジ[% CASE "7" %]インクリボン[% CASE "8" %]廃インク[% CASE "9" %]感光体[% CASE "10" %]現像剤[% CASE "11" %]定着オイル[% CASE "12" %]固形ワックス[% CASE "13" %]リボンワックス[% CASE "14" %]廃ワックス[% CASE "15" %]定着器[% CASE "16" %]コロナワイヤ[% CASE "18" %]クリーナーユニット[% CASE "20" %]転写ユニット[% CASE "21" %]トナーカートリッジ[% CASE "32" %]ステープル[% CASE "1" %]その他[% CASE "2" %]不明[% DEFAULT %]消耗品の種類 '),
]
T.sort(key=lambda p: -len(p[0]))
files = {}
for d in ('en','common'):
    for f in sorted(os.listdir(os.path.join(src,d))):
        if f.endswith('.htm'):
            files[f] = os.path.join(src,d,f)
# Includes without text need no Japanese copy.
skip = {'probe.htm','name.htm','storage.htm'}
for f, p in files.items():
    if f in skip: continue
    s = open(p, encoding='utf-8').read()
    for a, b in T:
        s = s.replace(a, b)
    s = re.sub(r'<!-- COMMENT: ', '<!-- COMMENT: (日本語) ', s, count=1)
    open(os.path.join(src,'ja',f),'w',encoding='utf-8').write(s)
print(len(files) - len(skip), 'files written to', os.path.normpath(os.path.join(src, 'ja')))
# What is left in English outside comments, tags and markup.
known = ('mdash', 'middot', 'MAC ', 'SNMP ', 'ONOFF', 'All Devices', 'English')
for f in sorted(os.listdir(os.path.join(src, 'ja'))):
    t = open(os.path.join(src, 'ja', f), encoding='utf-8').read()
    t = re.sub(r'<!--.*?-->', '', t, flags=re.S)
    t = re.sub(r'\[%.*?%\]', '', t, flags=re.S)
    t = re.sub(r'<[^>]*>', '', t)
    left = [w for w in re.findall(r"[A-Za-z][A-Za-z ()'.,:-]{2,}", t) if w not in known]
    if left:
        print('not translated in', f, left[:12])
