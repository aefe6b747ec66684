<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>TFrm_Main</name>
    <message>
        <source>源文件路径</source>
        <translation>Source file</translation>
    </message>
    <message>
        <source>总时间</source>
        <translation>Duration</translation>
    </message>
    <message>
        <source>文件大小</source>
        <translation>Size</translation>
    </message>
    <message>
        <source>输出文件</source>
        <translation>Output</translation>
    </message>
    <message>
        <source>转换进度</source>
        <translation>Progress</translation>
    </message>
    <message>
        <source>当前时间</source>
        <translation>Position</translation>
    </message>
    <message>
        <source>自动 - 初始化</source>
        <translation>Auto - as the source</translation>
    </message>
    <message>
        <source>自动</source>
        <translation>Auto</translation>
    </message>
    <message>
        <source>单声道</source>
        <translation>Mono</translation>
    </message>
    <message>
        <source>双声道</source>
        <translation>Stereo</translation>
    </message>
    <message>
        <source>PAL 制试</source>
        <translation>PAL</translation>
    </message>
    <message>
        <source>NTSC 制试</source>
        <translation>NTSC</translation>
    </message>
    <message>
        <source>输出目录:</source>
        <translation>Output folder:</translation>
    </message>
    <message>
        <source>选择目录</source>
        <translation>Choose Folder</translation>
    </message>
    <message>
        <source>打开目录</source>
        <translation>Open Folder</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>添加文件</source>
        <translation>Add Files</translation>
    </message>
    <message>
        <source>添加目录</source>
        <translation>Add Folder</translation>
    </message>
    <message>
        <source>删除文件</source>
        <translation>Remove File</translation>
    </message>
    <message>
        <source>清除</source>
        <translation>Clear</translation>
    </message>
    <message>
        <source>开始转换</source>
        <translation>Convert</translation>
    </message>
    <message>
        <source>停止转换</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>帮助文件</source>
        <translation>Help</translation>
    </message>
    <message>
        <source>E-mail支持</source>
        <translation>E-mail Support</translation>
    </message>
    <message>
        <source>访问官方网站</source>
        <translation>Visit the Home Page</translation>
    </message>
    <message>
        <source>关于...</source>
        <translation>About...</translation>
    </message>
    <message>
        <source>播放</source>
        <translation>Play</translation>
    </message>
    <message>
        <source>停止</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>暂停/继续</source>
        <translation>Pause/Resume</translation>
    </message>
    <message>
        <source>暂停</source>
        <translation>Pause</translation>
    </message>
    <message>
        <source>文件</source>
        <translation>File</translation>
    </message>
    <message>
        <source>清除文件</source>
        <translation>Clear Files</translation>
    </message>
    <message>
        <source>退出</source>
        <translation>Exit</translation>
    </message>
    <message>
        <source> 添加(&amp;A) </source>
        <translation> &amp;Add </translation>
    </message>
    <message>
        <source>删除(&amp;D)</source>
        <translation>&amp;Remove</translation>
    </message>
    <message>
        <source>清除(&amp;C)</source>
        <translation>&amp;Clear</translation>
    </message>
    <message>
        <source>视频尺寸</source>
        <translation>Frame size</translation>
    </message>
    <message>
        <source>声道</source>
        <translation>Channels</translation>
    </message>
    <message>
        <source>视(音)频品质 (Kbps)</source>
        <translation>Quality (kbit/s)</translation>
    </message>
    <message>
        <source>视频品质</source>
        <translation>Video</translation>
    </message>
    <message>
        <source>音频品质</source>
        <translation>Audio</translation>
    </message>
    <message>
        <source>帧率</source>
        <translation>Frame rate</translation>
    </message>
    <message>
        <source>选择电视制式</source>
        <translation>TV norm</translation>
    </message>
    <message>
        <source>无法创建目录 &quot;%1&quot;: %2</source>
        <translation>Cannot create the folder &quot;%1&quot;: %2</translation>
    </message>
    <message>
        <source>正在添加 %1/%2 个文件</source>
        <translation>Adding %1/%2 files</translation>
    </message>
    <message>
        <source>正在查找文件...</source>
        <translation>Looking for files...</translation>
    </message>
    <message>
        <source>没有视频文件，不能转换.</source>
        <translation>There are no video files to convert.</translation>
    </message>
    <message>
        <source>提示</source>
        <translation>Note</translation>
    </message>
    <message>
        <source>正在准备转换 %1/%2</source>
        <translation>Preparing the conversion %1/%2</translation>
    </message>
    <message>
        <source>请在列表中选择一个文件再点击播放预览</source>
        <translation>Select a file in the list, then click Play to preview it</translation>
    </message>
</context>
<context>
    <name>TFrm_about</name>
    <message>
        <source>关于...</source>
        <translation>About...</translation>
    </message>
    <message>
        <source>官方网站:</source>
        <translation>Home page:</translation>
    </message>
</context>
</TS>
